import QtQuick
import QtQuick.Layouts

// The exit gateways, each with its last measured latency; choose one, the fastest, or measure.
ColumnLayout {
    id: panel
    spacing: 12

    PanelHeader {
        title: view.gatewayHeader.title
        subtitle: view.gatewayHeader.subtitle
    }
    Flow {
        Layout.fillWidth: true
        spacing: 8
        AppButton {
            objectName: "fastestButton"
            text: view.gatewayHeader.fastestButton
            enabled: view.gatewayHeader.fastestEnabled
            prominent: true
            onClicked: view.chooseFastestGateway()
        }
        AppButton {
            objectName: "testAllButton"
            text: view.gatewayHeader.testButton
            enabled: view.gatewayHeader.testEnabled
            onClicked: view.testAllGateways()
        }
    }
    Text {
        Layout.fillWidth: true
        visible: text.length > 0
        text: view.gatewayHeader.switchingNote
        color: theme.amber
        font.family: theme.fontFamily
        font.pixelSize: 12
        wrapMode: Text.Wrap
        Accessible.role: Accessible.StaticText
        Accessible.name: text
    }

    Repeater {
        // By count, so a new latency does not rebuild the cards under the keyboard focus.
        model: view.gatewayCards.length
        Rectangle {
            id: gatewayCard
            required property int index
            readonly property var card: view.gatewayCards[index]
            objectName: "gatewayCard_" + index
            Layout.fillWidth: true
            implicitHeight: cardRow.implicitHeight + 24
            radius: 12
            color: card.selected ? theme.cardBgSecondary : theme.cardBg
            border.color: activeFocus ? theme.accent : (card.selected ? theme.accent : theme.border)
            border.width: activeFocus || card.selected ? 2 : 1
            activeFocusOnTab: true
            Accessible.role: Accessible.RadioButton
            Accessible.checkable: true
            Accessible.checked: card.selected
            Accessible.name: card.title + ", " + card.subtitle + ", " + card.latency
            Accessible.onPressAction: view.chooseGateway(card.gateway)
            Keys.onSpacePressed: view.chooseGateway(card.gateway)
            Keys.onReturnPressed: view.chooseGateway(card.gateway)
            Keys.onEnterPressed: view.chooseGateway(card.gateway)

            // The selected card is already edged in the accent: the focus rings it from outside.
            Rectangle {
                anchors.fill: parent
                anchors.margins: -4
                radius: parent.radius + 4
                color: "transparent"
                border.color: theme.accent
                border.width: 2
                visible: gatewayCard.activeFocus
            }

            RowLayout {
                id: cardRow
                anchors.fill: parent
                anchors.margins: 12
                spacing: 10
                ColumnLayout {
                    Layout.fillWidth: true
                    spacing: 2
                    RowLayout {
                        spacing: 6
                        Layout.fillWidth: true
                        Text {
                            Layout.fillWidth: true
                            text: gatewayCard.card.title
                            color: theme.text
                            font.family: theme.fontFamily
                            font.pixelSize: 14
                            font.weight: Font.DemiBold
                            elide: Text.ElideRight
                        }
                        Rectangle {
                            visible: gatewayCard.card.badge.length > 0
                            radius: 4
                            color: theme.accentDeep
                            implicitWidth: badgeText.implicitWidth + 10
                            implicitHeight: badgeText.implicitHeight + 4
                            Text {
                                id: badgeText
                                anchors.centerIn: parent
                                text: gatewayCard.card.badge
                                color: theme.onAccent
                                font.family: theme.fontFamily
                                font.pixelSize: 10
                                font.weight: Font.DemiBold
                            }
                        }
                    }
                    Text {
                        Layout.fillWidth: true
                        text: gatewayCard.card.subtitle
                        color: theme.textMuted
                        font.family: theme.fontFamily
                        font.pixelSize: 12
                        wrapMode: Text.Wrap
                    }
                }
                Text {
                    text: gatewayCard.card.latency
                    color: theme[gatewayCard.card.latencyColor]
                    font.family: theme.monoFamily
                    font.pixelSize: 14
                    font.weight: Font.DemiBold
                }
            }
            MouseArea {
                anchors.fill: parent
                cursorShape: Qt.PointingHandCursor
                onClicked: view.chooseGateway(gatewayCard.card.gateway)
            }
        }
    }
}
