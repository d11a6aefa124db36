import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The main window: status, the single connect button, local endpoints and the exit seen through
// the tunnel. Every value comes from `controller` (a ControllerModel); the only action is toggle().
ApplicationWindow {
    id: root

    required property QtObject controller
    // Set from C++ (MainWindowLifecycle): show/hide/toggle, and a tab a launch asked for.
    property QtObject lifecycle: null
    property string requestedTab: ""

    readonly property bool zh: controller.language === "zh"
    function t(english, chinese) { return zh ? chinese : english }

    readonly property color pageColor: theme.windowBg
    readonly property color cardColor: theme.cardBg
    readonly property color borderColor: theme.border
    readonly property color textColor: theme.text
    readonly property color mutedColor: theme.textMuted
    readonly property color statusColor: {
        switch (controller.phase) {
        case "Connected": return theme.emerald
        case "Reconnecting":
        case "Preparing":
        case "Starting":
        case "Disconnecting": return theme.amber
        case "Error": return theme.coral
        default: return theme.idle
        }
    }

    width: 800
    height: 620
    minimumWidth: 360
    minimumHeight: 480
    visible: false
    title: "Nimbra"
    color: pageColor
    font.family: theme.fontFamily

    component Card: Rectangle {
        default property alias content: column.data
        Layout.fillWidth: true
        implicitHeight: column.implicitHeight + 28
        radius: 10
        color: root.cardColor
        border.color: root.borderColor
        ColumnLayout {
            id: column
            anchors.fill: parent
            anchors.margins: 14
            spacing: 8
        }
    }

    component Caption: Label {
        color: root.mutedColor
        font.pixelSize: 11
        font.capitalization: Font.AllUppercase
        font.letterSpacing: 0.6
    }

    component InfoRow: RowLayout {
        property alias caption: captionLabel.text
        property alias value: valueLabel.text
        Layout.fillWidth: true
        spacing: 12
        Label {
            id: captionLabel
            color: root.mutedColor
            font.pixelSize: 13
        }
        Label {
            id: valueLabel
            Layout.fillWidth: true
            horizontalAlignment: Text.AlignRight
            elide: Text.ElideMiddle
            color: root.textColor
            font.pixelSize: 13
            font.family: theme.monoFamily
            font.weight: Font.Medium
        }
    }

    component Notice: Rectangle {
        property alias text: noticeLabel.text
        property color tint: theme.noticeBg
        property color edge: theme.noticeBorder
        Layout.fillWidth: true
        visible: text.length > 0
        implicitHeight: noticeLabel.implicitHeight + 20
        radius: 8
        color: tint
        border.color: edge
        Label {
            id: noticeLabel
            anchors.fill: parent
            anchors.margins: 10
            wrapMode: Text.Wrap
            color: root.textColor
            font.pixelSize: 12
        }
    }

    ScrollView {
        anchors.fill: parent
        contentWidth: availableWidth

        ColumnLayout {
            width: parent.width
            spacing: 12

            Item { Layout.preferredHeight: 6 }

            RowLayout {
                Layout.fillWidth: true
                Layout.leftMargin: 18
                Layout.rightMargin: 18
                Label {
                    text: "Nimbra"
                    color: root.textColor
                    font.pixelSize: 15
                    font.weight: Font.DemiBold
                    Layout.fillWidth: true
                }
                Rectangle {
                    objectName: "modeBadge"
                    radius: height / 2
                    color: theme.cardBgSecondary
                    implicitHeight: modeLabel.implicitHeight + 8
                    implicitWidth: modeLabel.implicitWidth + 18
                    Label {
                        id: modeLabel
                        anchors.centerIn: parent
                        text: root.controller.connectionModeLabel
                              + (root.controller.http2 ? " · HTTP/2" : "")
                        color: root.mutedColor
                        font.pixelSize: 11
                    }
                }
                // Without a tray there is no menu to quit from, so the window offers it (as Ctrl+Q).
                Button {
                    objectName: "quitButton"
                    visible: typeof trayHost !== "undefined" && !(trayHost?.hasTray ?? true)
                    text: root.t("Quit Nimbra", "退出 Nimbra")
                    flat: true
                    Accessible.name: text
                    Accessible.onPressAction: Qt.quit()
                    onClicked: Qt.quit()
                }
            }

            ColumnLayout {
                Layout.fillWidth: true
                Layout.leftMargin: 18
                Layout.rightMargin: 18
                spacing: 12

                Card {
                    RowLayout {
                        spacing: 10
                        Rectangle {
                            width: 12
                            height: 12
                            radius: 6
                            color: root.statusColor
                            Layout.alignment: Qt.AlignVCenter
                        }
                        Label {
                            objectName: "phaseLabel"
                            text: root.controller.phaseLabel
                            color: root.textColor
                            font.pixelSize: 28
                            font.weight: Font.DemiBold
                            Layout.fillWidth: true
                        }
                    }
                    Label {
                        objectName: "detailLabel"
                        text: root.controller.detail
                        color: root.mutedColor
                        font.pixelSize: 13
                        wrapMode: Text.Wrap
                        Layout.fillWidth: true
                    }
                    Label {
                        objectName: "coverageLabel"
                        visible: text.length > 0
                        text: root.controller.globalCoverageNote
                        color: root.mutedColor
                        font.pixelSize: 12
                        wrapMode: Text.Wrap
                        Layout.fillWidth: true
                    }
                }

                Notice {
                    objectName: "conflictBanner"
                    text: root.controller.conflictBanner
                }

                Button {
                    id: connectButton
                    objectName: "connectButton"
                    Layout.fillWidth: true
                    Layout.preferredHeight: 46
                    text: root.controller.buttonLabel
                    enabled: root.controller.buttonEnabled
                    onClicked: root.controller.toggle()

                    readonly property color fill: {
                        if (!enabled) return theme.idle
                        if (root.controller.isConnected) return theme.coral
                        if (root.controller.phase === "Preparing" || root.controller.phase === "Starting")
                            return theme.textMuted
                        return theme.accentDeep
                    }

                    contentItem: Label {
                        text: connectButton.text
                        color: theme.onAccent
                        font.pixelSize: 15
                        font.weight: Font.DemiBold
                        horizontalAlignment: Text.AlignHCenter
                        verticalAlignment: Text.AlignVCenter
                    }
                    background: Rectangle {
                        radius: 10
                        color: connectButton.down ? Qt.darker(connectButton.fill, 1.2)
                             : connectButton.hovered ? Qt.lighter(connectButton.fill, 1.12)
                             : connectButton.fill
                    }
                }

                Notice {
                    objectName: "http2Tip"
                    text: root.controller.http2Tip
                    tint: theme.tipBg
                    edge: theme.tipBorder
                }

                Card {
                    Caption { text: root.t("Local proxies", "本地代理") }
                    InfoRow {
                        objectName: "socksRow"
                        caption: "SOCKS5"
                        value: root.controller.socksEndpoint
                    }
                    InfoRow {
                        objectName: "httpRow"
                        caption: "HTTP"
                        value: root.controller.httpEndpoint
                    }
                }

                Card {
                    Caption { text: root.t("Exit", "出口") }
                    InfoRow {
                        objectName: "exitIpRow"
                        caption: root.t("IP address", "IP 地址")
                        value: root.controller.exitIp
                    }
                    InfoRow {
                        caption: root.t("Location", "位置")
                        value: root.controller.exitLoc
                    }
                    InfoRow {
                        caption: root.t("Data center", "数据中心")
                        value: root.controller.exitColo
                    }
                    InfoRow {
                        caption: "WARP"
                        value: root.controller.exitWarp
                    }
                }

                Label {
                    objectName: "usquePathLabel"
                    text: "usque: " + root.controller.usquePath
                    color: root.mutedColor
                    font.pixelSize: 11
                    elide: Text.ElideMiddle
                    Layout.fillWidth: true
                    Layout.bottomMargin: 14
                }
            }
        }
    }

    Shortcut {
        sequence: "Ctrl+Shift+C"
        enabled: root.controller.buttonEnabled
        onActivated: root.controller.toggle()
    }
    Shortcut {
        sequence: "Ctrl+O"
        onActivated: root.lifecycle.showExistingMainWindow()
    }
    Shortcut {
        sequence: "Ctrl+Q"
        onActivated: Qt.quit()
    }
}
