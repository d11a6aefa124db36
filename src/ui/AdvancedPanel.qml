import QtQuick
import QtQuick.Layouts

// Appearance, nimbrad's live settings (DNS, China split, direct excludes), the transport
// fallback and the address other programs use.
ColumnLayout {
    id: panel
    signal copied()
    spacing: 12
    // The autostart entry may have been changed elsewhere since the panel was last shown (the
    // panel is built when first shown, so that counts as shown too).
    onVisibleChanged: if (visible) view.refreshStartAtLogin()
    Component.onCompleted: view.refreshStartAtLogin()

    PanelHeader { title: view.navigationRows.length > 3 ? view.navigationRows[3].title : "" }

    Card {
        SectionTitle { text: view.texts.themeSection }
        Repeater {
            model: view.themes.length
            AppButton {
                required property int index
                readonly property var option: view.themes[index]
                Layout.fillWidth: true
                selected: option.value === view.theme
                text: option.title + " — " + option.description
                fontSize: 12
                Accessible.role: Accessible.RadioButton
                Accessible.checkable: true
                Accessible.checked: selected
                onClicked: view.setTheme(option.value)
            }
        }
    }

    Card {
        SectionTitle { text: view.texts.dnsSection }
        Segmented {
            objectName: "dnsModeChooser"
            options: view.dnsModes
            current: view.dnsMode
            accessibleName: view.texts.dnsSection
            onChosen: (value) => view.setDnsMode(value)
        }
        AppTextField {
            id: profileField
            Layout.fillWidth: true
            placeholderText: view.texts.dnsProfile
            text: view.dnsProfileDraft
            onEditingFinished: panel.storeDrafts()
        }
        AppTextField {
            id: deviceField
            Layout.fillWidth: true
            placeholderText: view.texts.dnsDevice
            text: view.dnsDeviceDraft
            onEditingFinished: panel.storeDrafts()
        }
        AppTextField {
            id: customField
            Layout.fillWidth: true
            placeholderText: view.texts.dnsCustom
            text: view.dnsCustomDraft
            onEditingFinished: panel.storeDrafts()
        }
        AppButton {
            objectName: "applyDnsButton"
            text: view.texts.applyDns
            prominent: true
            onClicked: { panel.storeDrafts(); view.applyDns() }
        }
        // What nimbrad refused or could not do about DNS (real TUN only), under the choice it
        // is about; empty, it takes no room.
        Notice {
            objectName: "dnsWarning"
            text: view.dnsWarning
            Accessible.role: Accessible.AlertMessage
        }
    }

    Card {
        AppSwitch {
            objectName: "chinaDirectSwitch"
            Layout.fillWidth: true
            text: view.texts.chinaSection
            checked: view.chinaDirect
            onToggled: view.setChinaDirect(checked)
        }
        Text {
            Layout.fillWidth: true
            text: view.texts.chinaExplain
            color: theme.textMuted
            font.family: theme.fontFamily
            font.pixelSize: 12
            wrapMode: Text.Wrap
        }
        // Whose country data the split routes by and how old it is, once nimbrad has loaded it.
        Text {
            objectName: "chinaSource"
            Layout.fillWidth: true
            visible: text.length > 0
            text: view.chinaSource
            color: theme.textMuted
            font.family: theme.fontFamily
            font.pixelSize: 11
            wrapMode: Text.Wrap
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }
    }

    Card {
        AppSwitch {
            objectName: "startAtLoginSwitch"
            Layout.fillWidth: true
            text: view.texts.startAtLogin
            checked: view.startAtLogin
            onToggled: view.setStartAtLogin(checked)
        }
    }

    Card {
        SectionTitle { text: view.texts.excludesSection }
        RowLayout {
            Layout.fillWidth: true
            AppTextField {
                id: excludeField
                objectName: "excludeField"
                Layout.fillWidth: true
                placeholderText: view.texts.excludePlaceholder
                text: view.excludeDraft
                onTextEdited: view.excludeDraft = text
                onAccepted: view.addExclude()
            }
            AppButton {
                objectName: "addExcludeButton"
                text: view.texts.add
                enabled: view.excludeAddEnabled
                onClicked: view.addExclude()
            }
        }
        Repeater {
            model: view.daemonExcludes
            RowLayout {
                required property string modelData
                Layout.fillWidth: true
                Text {
                    Layout.fillWidth: true
                    text: modelData
                    color: theme.text
                    font.family: theme.monoFamily
                    font.pixelSize: 12
                    elide: Text.ElideMiddle
                }
                AppButton {
                    text: "×"
                    Accessible.name: view.texts.remove + " " + modelData
                    onClicked: view.removeExclude(modelData)
                }
            }
        }
    }

    Card {
        AppSwitch {
            objectName: "http2Switch"
            Layout.fillWidth: true
            text: view.texts.http2Section
            checked: view.http2
            onToggled: view.setHttp2(checked)
        }
    }

    Card {
        SectionTitle { text: view.texts.proxyHintSection }
        RowLayout {
            Layout.fillWidth: true
            Text {
                objectName: "proxyHint"
                Layout.fillWidth: true
                text: view.proxyHint
                color: theme.text
                font.family: theme.monoFamily
                font.pixelSize: 12
                wrapMode: Text.WrapAnywhere
                Accessible.role: Accessible.StaticText
                Accessible.name: text
            }
            AppButton {
                objectName: "copyProxyHintButton"
                text: view.texts.copy
                fontSize: 11
                onClicked: { view.copyToClipboard(view.proxyHint); panel.copied() }
            }
        }
    }

    AppButton {
        objectName: "refreshExitButton"
        text: view.texts.refreshExit
        onClicked: view.refreshExit()
    }

    function storeDrafts() {
        view.setDnsDrafts(profileField.text, deviceField.text, customField.text)
    }
}
