import QtQuick
import QtQuick.Controls.Basic

// An on/off switch in the window's palette; Space toggles it, as does a screen reader's Press.
Switch {
    id: control
    font.family: theme.fontFamily
    font.pixelSize: 13
    focusPolicy: Qt.StrongFocus
    Accessible.role: Accessible.CheckBox
    Accessible.name: text
    Accessible.checkable: true
    Accessible.checked: checked
    Accessible.onPressAction: { control.toggle(); control.toggled() }

    indicator: Rectangle {
        x: control.leftPadding
        y: (control.height - height) / 2
        implicitWidth: 40
        implicitHeight: 22
        radius: 11
        color: control.checked ? theme.accentDeep : theme.cardBgSecondary
        border.color: control.visualFocus ? theme.accent : theme.border
        border.width: control.visualFocus ? 2 : 1
        Rectangle {
            x: control.checked ? parent.width - width - 3 : 3
            y: 3
            width: 16
            height: 16
            radius: 8
            color: control.checked ? theme.onAccent : theme.textMuted
        }
    }
    contentItem: Text {
        leftPadding: control.indicator.width + 10
        text: control.text
        font: control.font
        color: theme.text
        verticalAlignment: Text.AlignVCenter
        wrapMode: Text.Wrap
    }
}
