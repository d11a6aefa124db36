import QtQuick
import QtQuick.Layouts

// A card's caption.
Text {
    Layout.fillWidth: true
    color: theme.text
    font.family: theme.fontFamily
    font.pixelSize: 13
    font.weight: Font.DemiBold
    wrapMode: Text.Wrap
    Accessible.role: Accessible.Heading
    Accessible.name: text
}
