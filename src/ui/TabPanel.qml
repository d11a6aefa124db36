import QtQuick
import QtQuick.Layouts

// A tab's panel, built the first time its tab is chosen and kept from then on: the window's
// first frame waits only for the panel it shows.
Loader {
    property bool current: false
    property bool visited: false
    onCurrentChanged: if (current) visited = true
    Component.onCompleted: if (current) visited = true
    active: visited
    visible: current
    Layout.fillWidth: true
    Layout.fillHeight: false
}
