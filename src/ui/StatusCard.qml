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

        ConnectRing {
            anchors.fill: parent
            moving: card.moving
            tint: card.tint
            dot: dot
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
