import QtQuick
import QtQuick.Layouts

// The phase, the line under it, the connect button in its ring and the conflict banner.
Card {
    id: card
    spacing: 10

    // Motion only while the phase asks for it and someone can see it.
    readonly property bool moving: view.ringMoves && Window.window !== null && Window.window.visible
    readonly property color tint: theme[view.statusColor]

    RowLayout {
        Layout.fillWidth: true
        spacing: 10
        Rectangle {
            id: dot
            width: 14
            height: 14
            radius: 7
            color: card.tint
            Layout.alignment: Qt.AlignVCenter
            SequentialAnimation on opacity {
                running: card.moving
                loops: Animation.Infinite
                NumberAnimation { to: 0.35; duration: 1050; easing.type: Easing.InOutQuad }
                NumberAnimation { to: 1; duration: 1050; easing.type: Easing.InOutQuad }
                onRunningChanged: if (!running) dotSettle.start()
            }
            NumberAnimation {
                id: dotSettle
                target: dot
                property: "opacity"
                to: 1
                duration: 200
                easing.type: Easing.OutQuad
            }
        }
        Text {
            objectName: "phaseLabel"
            Layout.fillWidth: true
            text: view.statusLabel
            color: card.tint
            font.family: theme.fontFamily
            font.pixelSize: 24
            font.weight: Font.DemiBold
            elide: Text.ElideRight
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }
    }

    Text {
        objectName: "detailLabel"
        Layout.fillWidth: true
        text: view.detailLine
        color: theme.textMuted
        font.family: view.detailInFigureFont ? theme.monoFamily : theme.fontFamily
        font.pixelSize: 13
        wrapMode: Text.Wrap
        Accessible.role: Accessible.StaticText
        Accessible.name: text
    }

    Item {
        Layout.fillWidth: true
        Layout.preferredHeight: 132

        Repeater {
            model: 2
            Rectangle {
                id: pulse
                required property int index
                anchors.centerIn: parent
                width: 104
                height: 104
                radius: 52
                color: "transparent"
                border.color: card.tint
                border.width: 2
                opacity: 0
                // The second ring waits 1.1 s once, then pulses every 2.2 s like the first: a
                // pause inside the loop would stretch its period to 3.3 s and let the two drift.
                SequentialAnimation {
                    running: card.moving
                    PauseAnimation { duration: pulse.index * 1100 }
                    ParallelAnimation {
                        loops: Animation.Infinite
                        NumberAnimation { target: pulse; property: "scale"; from: 1; to: 1.4
                                          duration: 2200; easing.type: Easing.InOutQuad }
                        NumberAnimation { target: pulse; property: "opacity"; from: 0.7; to: 0
                                          duration: 2200; easing.type: Easing.InOutQuad }
                    }
                    onRunningChanged: if (!running) settle.start()
                }
                ParallelAnimation {
                    id: settle
                    NumberAnimation { target: pulse; property: "scale"; to: 1; duration: 300
                                      easing.type: Easing.OutQuad }
                    NumberAnimation { target: pulse; property: "opacity"; to: 0; duration: 300
                                      easing.type: Easing.OutQuad }
                }
            }
        }

        // The turning ring: a faint circle with one bright mark that goes round.
        Item {
            id: ring
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
                color: card.tint
                visible: view.ringMoves
            }
            RotationAnimation on rotation {
                running: card.moving
                loops: Animation.Infinite
                from: 0
                to: 360
                duration: 16000
            }
            // At rest the mark turns back the short way within 0.3 s; started from here rather
            // than by a Behavior, whose enabled flag may not yet have followed `moving`.
            RotationAnimation {
                id: ringSettle
                target: ring
                to: 0
                duration: 300
                direction: RotationAnimation.Shortest
                easing.type: Easing.OutQuad
            }
            Connections {
                target: card
                function onMovingChanged() { card.moving ? ringSettle.stop() : ringSettle.start() }
            }
        }

        AppButton {
            id: connectButton
            objectName: "connectButton"
            anchors.centerIn: parent
            width: 96
            height: 96
            text: view.buttonTitle
            enabled: view.buttonEnabled
            prominent: !view.isConnected
            danger: view.isConnected
            fontSize: 14
            // The label crosses the circle at its widest: "Disconnect" fits only without the
            // usual side padding, and the longer "Please wait…" goes over two lines.
            horizontalPadding: 6
            wraps: true
            onClicked: view.toggle()
            background: Rectangle {
                radius: width / 2
                color: connectButton.down ? Qt.darker(connectButton.fill, 1.15)
                     : connectButton.hovered ? Qt.lighter(connectButton.fill, 1.08)
                     : connectButton.fill
                border.color: connectButton.visualFocus ? theme.accent : "transparent"
                border.width: 3
            }
        }
    }

    Rectangle {
        objectName: "conflictBanner"
        property string text: view.conflictBanner
        Layout.fillWidth: true
        visible: view.conflictBannerShown
        implicitHeight: bannerRow.implicitHeight + 16
        radius: 8
        color: theme.noticeBg
        border.color: theme.noticeBorder
        Accessible.role: Accessible.AlertMessage
        Accessible.name: text
        RowLayout {
            id: bannerRow
            anchors.fill: parent
            anchors.margins: 8
            spacing: 8
            Text {
                Layout.fillWidth: true
                text: view.conflictBanner
                color: theme.text
                font.family: theme.fontFamily
                font.pixelSize: 12
                wrapMode: Text.Wrap
            }
            AppButton {
                objectName: "detectButton"
                text: view.texts.detect
                fontSize: 12
                onClicked: view.refreshConflicts()
            }
        }
    }

    // Said before Connect would fail on it: where to get usque.
    Notice {
        objectName: "usqueNotice"
        text: view.usqueNotice
        Accessible.role: Accessible.AlertMessage
    }
    Notice {
        objectName: "http2Tip"
        text: view.http2Tip
        tint: theme.tipBg
        edge: theme.tipBorder
    }
    Notice {
        objectName: "coverageLabel"
        text: view.coverageNote
    }
}
