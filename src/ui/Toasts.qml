import QtQuick

// A short confirmation ("Copied") at the bottom of the window; its timer runs only while it
// shows.
Rectangle {
    id: toast
    function show(message, milliseconds) {
        label.text = message
        hideTimer.interval = milliseconds
        hideTimer.restart()
    }

    objectName: "toast"
    visible: hideTimer.running
    radius: 8
    color: theme.accentDeep
    implicitWidth: label.implicitWidth + 28
    implicitHeight: label.implicitHeight + 14
    Accessible.role: Accessible.AlertMessage
    Accessible.name: label.text

    Text {
        id: label
        anchors.centerIn: parent
        color: theme.onAccent
        font.family: theme.fontFamily
        font.pixelSize: 13
        font.weight: Font.DemiBold
    }
    Timer {
        id: hideTimer
    }
}
