import QtQuick
import QtQuick.Dialogs
import QtQuick.Layouts

// The per-app rules: the mode's notice, the three lists as tabs with a search, the default for
// apps without a rule, and the rows of the chosen list. Everything reads `appRules`.
ColumnLayout {
    id: panel
    signal toastRequested(string message)
    spacing: 12

    Component.onCompleted: appRules.refreshRunning()
    Connections {
        target: appRules
        function onToastChanged() {
            if (appRules.toastText.length > 0) panel.toastRequested(appRules.toastText)
        }
    }

    PanelHeader { title: appRules.captions.appRulesTitle }
    Notice {
        objectName: "appRulesModeNotice"
        text: appRules.modeNotice
    }

    Card {
        spacing: 10
        Segmented {
            objectName: "appRulesTabs"
            options: appRules.tabs
            current: appRules.selectedTab
            accessibleName: appRules.captions.appRulesTitle
            onChosen: (value) => appRules.selectTab(value)
        }
        RowLayout {
            Layout.fillWidth: true
            spacing: 6
            AppTextField {
                objectName: "appRulesSearch"
                Layout.fillWidth: true
                Layout.minimumWidth: 60
                placeholderText: appRules.captions.searchPlaceholder
                text: appRules.searchText
                onTextEdited: appRules.search(text)
            }
            AppButton {
                objectName: "appRulesRefresh"
                text: "↻"
                horizontalPadding: 10
                Accessible.name: appRules.captions.refreshRunning
                onClicked: appRules.refreshRunning()
                ToolTipText { text: appRules.captions.refreshRunning }
            }
        }
        Text {
            Layout.fillWidth: true
            text: appRules.captions.defaultForUnlisted
            color: theme.textMuted
            font.family: theme.fontFamily
            font.pixelSize: 12
            wrapMode: Text.Wrap
        }
        Segmented {
            objectName: "appRulesDefault"
            options: appRules.targets
            current: appRules.defaultFallback
            accessibleName: appRules.captions.defaultForUnlisted
            onChosen: (value) => appRules.setDefaultFallback(value)
        }
    }

    Card {
        objectName: "appRulesList"
        spacing: 2
        Repeater {
            model: appRules.rows
            AppRuleRow {}
        }
        Text {
            objectName: "appRulesPlaceholder"
            Layout.fillWidth: true
            Layout.topMargin: 8
            Layout.bottomMargin: 8
            visible: appRules.rows.length === 0
            text: appRules.placeholder
            color: theme.textMuted
            font.family: theme.fontFamily
            font.pixelSize: 13
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.Wrap
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }
        AppButton {
            objectName: "appRulesScan"
            Layout.alignment: Qt.AlignHCenter
            Layout.maximumWidth: parent.width
            visible: appRules.offersScan
            enabled: !appRules.scanning
            prominent: true
            wraps: true
            text: appRules.captions.scanInstalled
            onClicked: appRules.scanInstalled()
        }
    }

    AppButton {
        objectName: "appRulesFromDisk"
        Layout.alignment: Qt.AlignLeft
        Layout.maximumWidth: panel.width
        text: appRules.captions.chooseFromDisk
        wraps: true
        onClicked: entryDialog.open()
    }

    FileDialog {
        id: entryDialog
        title: appRules.captions.chooseFromDisk
        nameFilters: ["*.desktop"]
        currentFolder: "file:///usr/share/applications"
        onAccepted: appRules.chooseFromDisk(selectedFile.toString())
    }
}
