import QtQuick
import QtQuick.Layouts

// Live throughput and what the exit looks like from outside.
ColumnLayout {
    id: panel
    signal copied()
    spacing: 12

    component Stat: Card {
        id: stat
        property string caption
        property string value
        property color tint: theme.text
        inner: true
        Layout.fillWidth: true
        Layout.preferredWidth: 1
        spacing: 2
        Accessible.role: Accessible.StaticText
        Accessible.name: caption + ": " + value
        Text {
            text: stat.caption
            color: theme.textMuted
            font.family: theme.fontFamily
            font.pixelSize: 11
            elide: Text.ElideRight
            Layout.fillWidth: true
        }
        Text {
            text: stat.value
            color: stat.tint
            font.family: theme.monoFamily
            font.pixelSize: 15
            font.weight: Font.DemiBold
            elide: Text.ElideRight
            Layout.fillWidth: true
        }
    }

    RowLayout {
        Layout.fillWidth: true
        PanelHeader { title: view.texts.overviewTitle }
        AppButton {
            objectName: "refreshDiagnosticsButton"
            text: "↻"
            fontSize: 15
            Accessible.name: view.texts.refreshDiagnostics
            ToolTipText { text: view.texts.refreshDiagnostics }
            onClicked: view.refreshExit()
        }
    }

    Card {
        SectionTitle { text: view.texts.throughputTitle }
        Sparkline {
            objectName: "sparkline"
            Layout.fillWidth: true
            down: view.downHistory
            up: view.upHistory
        }
        GridLayout {
            Layout.fillWidth: true
            columns: panel.width > 560 ? 4 : 2
            columnSpacing: 8
            rowSpacing: 8
            Stat { caption: view.texts.download; value: view.downSpeed; tint: theme.accent }
            Stat { caption: view.texts.upload; value: view.upSpeed; tint: theme.emerald }
            Stat { caption: view.texts.totalDown; value: view.totalDown }
            Stat { caption: view.texts.connectedTime; value: view.connectedTime }
        }
    }

    Card {
        SectionTitle { text: view.texts.diagnosticsTitle }
        RowLayout {
            Layout.fillWidth: true
            FigureRow {
                objectName: "exitIpRow"
                caption: view.exitIpCaption
                value: view.exitIp
            }
            AppButton {
                objectName: "copyExitIpButton"
                text: view.texts.copy
                fontSize: 11
                enabled: view.exitIp !== "—" && view.exitIp.length > 0
                onClicked: { view.copyToClipboard(view.exitIp); panel.copied() }
            }
        }
        FigureRow { caption: view.texts.warpStatus; value: view.warpStatus }
        FigureRow { caption: view.texts.locationColo; value: view.exitLocColo }
        FigureRow { caption: view.texts.protocol; value: view.protocol }
        FigureRow {
            visible: view.showsTunInterface
            caption: view.texts.tunInterface
            value: view.tunIface
        }
    }
}
