import QtQuick
import QtQuick.Controls.Basic

// A button in the window's palette. Enter, Return and Space press it; so does a screen
// reader's Press action.
Button {
    id: button
    property bool prominent: false
    property bool danger: false
    property bool selected: false
    property int fontSize: 13
    // Breaks a label too wide for the button over two lines instead of cutting it short.
    property bool wraps: false

    readonly property color fill: !enabled ? theme.cardBgSecondary
                                 : danger ? theme.coral
                                 : prominent ? theme.accentDeep
                                 : selected ? theme.accentDeep
                                 : theme.cardBgSecondary
    readonly property color ink: !enabled ? theme.textMuted
                                : (danger || prominent || selected) ? theme.onAccent
                                : theme.text

    focusPolicy: Qt.StrongFocus
    padding: 8
    horizontalPadding: 14
    font.family: theme.fontFamily
    font.pixelSize: fontSize
    font.weight: prominent ? Font.DemiBold : Font.Medium

    Accessible.role: Accessible.Button
    Accessible.name: text
    Accessible.onPressAction: button.clicked()
    Keys.onReturnPressed: button.clicked()
    Keys.onEnterPressed: button.clicked()

    contentItem: Text {
        text: button.text
        font: button.font
        color: button.ink
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
        wrapMode: button.wraps ? Text.WordWrap : Text.NoWrap
        maximumLineCount: button.wraps ? 2 : 1
    }
    background: Rectangle {
        implicitHeight: 32
        radius: 8
        color: button.down ? Qt.darker(button.fill, 1.15)
             : button.hovered ? Qt.lighter(button.fill, 1.08)
             : button.fill
        border.color: button.visualFocus ? theme.accent : theme.border
        border.width: button.visualFocus ? 2 : 1
        // The keyboard focus also rings the button from outside, so it shows on a lit
        // (selected or prominent) fill as well.
        Rectangle {
            anchors.fill: parent
            anchors.margins: -3
            radius: parent.radius + 3
            color: "transparent"
            border.color: theme.accent
            border.width: 2
            visible: button.visualFocus
        }
    }
}
