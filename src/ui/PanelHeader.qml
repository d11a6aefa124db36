import QtQuick
import QtQuick.Layouts

// A panel's title over an optional subtitle.
ColumnLayout {
    property alias title: titleText.text
    property alias subtitle: subtitleText.text
    Layout.fillWidth: true
    spacing: 2
    Text {
        id: titleText
        Layout.fillWidth: true
        color: theme.text
        font.family: theme.fontFamily
        font.pixelSize: 18
        font.weight: Font.DemiBold
        wrapMode: Text.Wrap
        Accessible.role: Accessible.Heading
        Accessible.name: text
    }
    Text {
        id: subtitleText
        Layout.fillWidth: true
        visible: text.length > 0
        color: theme.textMuted
        font.family: theme.fontFamily
        font.pixelSize: 12
        wrapMode: Text.Wrap
    }
}
