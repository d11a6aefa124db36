import QtQuick

// The two pulsing rings and the turning ring around the connect button, and the breathing of
// the status dot. One clock at 25 frames a second drives them all: the motion is slow (a turn
// takes 16 s, a pulse 2.2 s), so it looks the same as at the display's 60, and the software
// renderer redraws less than half as often.
Item {
    id: ring
    property bool moving: false
    property color tint
    // The status dot that breathes with the rings (opacity 1 → 0.35 → 1 every 2.1 s).
    property Item dot

    readonly property int pulsePeriod: 2200
    readonly property int turnPeriod: 16000
    readonly property int breathPeriod: 2100

    function inOutQuad(p) { return p < 0.5 ? 2 * p * p : 1 - 2 * (1 - p) * (1 - p) }

    // The second pulse waits 1.1 s once, then beats every 2.2 s like the first.
    function showPulse(pulse, elapsed) {
        const since = elapsed - pulse.index * pulsePeriod / 2
        if (since < 0)
            return
        const p = inOutQuad((since % pulsePeriod) / pulsePeriod)
        pulse.scale = 1 + 0.4 * p
        pulse.opacity = 0.7 * (1 - p)
    }

    function show(elapsed) {
        for (let i = 0; i < pulses.count; ++i)
            showPulse(pulses.itemAt(i), elapsed)
        turning.rotation = (elapsed % turnPeriod) / turnPeriod * 360
        if (dot)
            dot.opacity = 0.675 + 0.325 * Math.cos(2 * Math.PI * (elapsed % breathPeriod) / breathPeriod)
    }

    Timer {
        id: clock
        property real startedAt: 0
        interval: 40
        repeat: true
        running: ring.moving
        onRunningChanged: {
            if (running) {
                ring.stopSettling()
                startedAt = Date.now()
            } else {
                ring.settle()
            }
        }
        onTriggered: ring.show(Date.now() - startedAt)
    }

    // At rest everything returns within 0.3 s: the pulses fade, the mark turns back the short
    // way and the dot lights up.
    function settle() {
        for (let i = 0; i < pulses.count; ++i)
            pulses.itemAt(i).settle()
        turnBack.start()
        if (dot)
            dotBack.start()
    }
    function stopSettling() {
        for (let i = 0; i < pulses.count; ++i)
            pulses.itemAt(i).stopSettling()
        turnBack.stop()
        dotBack.stop()
    }
    RotationAnimation {
        id: turnBack
        target: turning
        to: 0
        duration: 300
        direction: RotationAnimation.Shortest
        easing.type: Easing.OutQuad
    }
    NumberAnimation {
        id: dotBack
        target: ring.dot
        property: "opacity"
        to: 1
        duration: 200
        easing.type: Easing.OutQuad
    }

    Repeater {
        id: pulses
        model: 2
        Rectangle {
            id: pulse
            required property int index
            function settle() { fade.start() }
            function stopSettling() { fade.stop() }
            anchors.centerIn: parent
            width: 104
            height: 104
            radius: 52
            color: "transparent"
            border.color: ring.tint
            border.width: 2
            opacity: 0
            ParallelAnimation {
                id: fade
                NumberAnimation { target: pulse; property: "scale"; to: 1; duration: 300; easing.type: Easing.OutQuad }
                NumberAnimation { target: pulse; property: "opacity"; to: 0; duration: 300; easing.type: Easing.OutQuad }
            }
        }
    }

    // A faint circle with one bright mark that goes round.
    Item {
        id: turning
        anchors.centerIn: parent
        width: 116
        height: 116
        Rectangle {
            anchors.fill: parent
            radius: width / 2
            color: "transparent"
            border.color: theme.border
            border.width: 2
        }
        Rectangle {
            width: 10
            height: 10
            radius: 5
            x: parent.width / 2 - 5
            y: -4
            color: ring.tint
            visible: view.ringMoves
        }
    }
}
