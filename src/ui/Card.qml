import QtQuick
import QtQuick.Layouts

// A panel's card: the theme's card colour with a hairline edge. Children stack in a column.
Rectangle {
    id: card
    default property alias content: column.data
    property alias spacing: column.spacing
    property bool inner: false

    Layout.fillWidth: true
    implicitHeight: column.implicitHeight + 28
    radius: 12
    color: inner ? theme.cardBgSecondary : theme.cardBg
    border.color: theme.border

    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 14
        spacing: 8
    }
}
