import QtQuick
import QtQuick.Layouts

// A tinted note that takes no room while it has nothing to say.
Rectangle {
    property alias text: noticeText.text
    property color tint: theme.noticeBg
    property color edge: theme.noticeBorder

    Layout.fillWidth: true
    visible: text.length > 0
    implicitHeight: noticeText.implicitHeight + 16
    radius: 8
    color: tint
    border.color: edge
    Accessible.role: Accessible.StaticText
    Accessible.name: text

    Text {
        id: noticeText
        anchors.fill: parent
        anchors.margins: 8
        color: theme.text
        font.family: theme.fontFamily
        font.pixelSize: 12
        wrapMode: Text.Wrap
    }
}
