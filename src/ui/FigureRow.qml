import QtQuick
import QtQuick.Layouts

// A caption on the left and its value on the right, the value in the figure font.
RowLayout {
    property alias caption: captionText.text
    property alias value: valueText.text
    property color valueColor: theme.text

    Layout.fillWidth: true
    spacing: 12
    Accessible.role: Accessible.StaticText
    Accessible.name: captionText.text + ": " + valueText.text

    Text {
        id: captionText
        color: theme.textMuted
        font.family: theme.fontFamily
        font.pixelSize: 12
    }
    Text {
        id: valueText
        Layout.fillWidth: true
        horizontalAlignment: Text.AlignRight
        elide: Text.ElideMiddle
        color: parent.valueColor
        font.family: theme.monoFamily
        font.pixelSize: 12
        font.weight: Font.Medium
    }
}
