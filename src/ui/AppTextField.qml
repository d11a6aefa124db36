import QtQuick
import QtQuick.Controls.Basic

// A one-line input in the window's palette, named by its placeholder for screen readers.
TextField {
    id: field
    property string accessibleName: placeholderText
    font.family: theme.monoFamily
    font.pixelSize: 12
    color: theme.text
    placeholderTextColor: theme.textMuted
    selectionColor: theme.accentDeep
    selectedTextColor: theme.onAccent
    Accessible.role: Accessible.EditableText
    Accessible.name: accessibleName
    background: Rectangle {
        implicitHeight: 32
        implicitWidth: 160
        radius: 8
        color: theme.cardBgSecondary
        border.color: field.activeFocus ? theme.accent : theme.border
        border.width: field.activeFocus ? 2 : 1
    }
}
