import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// One application of the per-app rules list: icon, name, its id, the rule's badge, then either the
// quick-add buttons (no rule yet) or the rule's switch, and a menu of the rest (also on a
// right-click or the menu key).
Rectangle {
    id: row
    required property int index
    required property var modelData

    Layout.fillWidth: true
    implicitHeight: line.implicitHeight + 12
    radius: 8
    color: hover.hovered ? theme.cardBgSecondary : "transparent"
    objectName: "appRuleRow_" + modelData.name
    Accessible.role: Accessible.ListItem
    Accessible.name: modelData.badge.length > 0 ? modelData.name + ", " + modelData.badge
                                                : modelData.name

    function openMenu() {
        menuEntries.model = appRules.rowMenu(index)
        menu.popup(menuButton, 0, menuButton.height)
    }

    HoverHandler { id: hover }
    TapHandler {
        acceptedButtons: Qt.RightButton
        onTapped: row.openMenu()
    }

    RowLayout {
        id: line
        anchors.fill: parent
        anchors.leftMargin: 6
        anchors.rightMargin: 4
        spacing: 8

        Image {
            Layout.preferredWidth: 28
            Layout.preferredHeight: 28
            sourceSize: Qt.size(28, 28)
            asynchronous: true
            visible: modelData.icon.length > 0
            source: visible ? "image://appicon/" + encodeURIComponent(modelData.icon) : ""
        }
        ColumnLayout {
            Layout.fillWidth: true
            Layout.minimumWidth: 40
            spacing: 1
            Text {
                Layout.fillWidth: true
                text: row.modelData.name
                color: theme.text
                font.family: theme.fontFamily
                font.pixelSize: 13
                font.weight: Font.Medium
                elide: Text.ElideRight
            }
            Text {
                Layout.fillWidth: true
                visible: text.length > 0
                text: row.modelData.subtitle
                color: theme.textMuted
                font.family: theme.monoFamily
                font.pixelSize: 11
                elide: Text.ElideMiddle
            }
        }
        Rectangle {
            visible: row.modelData.badge.length > 0
            Layout.maximumWidth: 120
            implicitWidth: badgeText.implicitWidth + 12
            implicitHeight: badgeText.implicitHeight + 4
            radius: 6
            color: !row.modelData.enabled ? theme.cardBgSecondary
                 : row.modelData.target === "proxy" ? theme.accentDeep : theme.cardBgSecondary
            border.color: theme.border
            Text {
                id: badgeText
                anchors.fill: parent
                anchors.leftMargin: 6
                anchors.rightMargin: 6
                verticalAlignment: Text.AlignVCenter
                horizontalAlignment: Text.AlignHCenter
                text: row.modelData.badge
                elide: Text.ElideRight
                color: row.modelData.enabled && row.modelData.target === "proxy" ? theme.onAccent
                                                                                 : theme.textMuted
                font.family: theme.fontFamily
                font.pixelSize: 11
            }
        }
        AppButton {
            objectName: "quickAddProxy_" + row.modelData.name
            visible: !row.modelData.hasRule
            text: appRules.captions.quickAddProxy
            fontSize: 12
            horizontalPadding: 8
            Accessible.name: text + " " + row.modelData.name
            onClicked: appRules.setRule(row.index, "proxy")
        }
        AppButton {
            objectName: "quickAddDirect_" + row.modelData.name
            visible: !row.modelData.hasRule
            text: appRules.captions.quickAddDirect
            fontSize: 12
            horizontalPadding: 8
            Accessible.name: text + " " + row.modelData.name
            onClicked: appRules.setRule(row.index, "direct")
        }
        AppSwitch {
            visible: row.modelData.hasRule
            checked: row.modelData.enabled
            Accessible.name: row.modelData.name
            onToggled: appRules.toggleEnabled(row.index, checked)
        }
        AppButton {
            id: menuButton
            text: "⋯"
            horizontalPadding: 8
            Accessible.name: row.modelData.name
            Accessible.role: Accessible.ButtonMenu
            onClicked: row.openMenu()
            Keys.onMenuPressed: row.openMenu()
        }
    }

    Menu {
        id: menu
        palette.window: theme.cardBg
        background: Rectangle {
            implicitWidth: 220
            color: theme.cardBg
            border.color: theme.border
            radius: 8
        }
        Instantiator {
            id: menuEntries
            model: []
            delegate: MenuItem {
                required property var modelData
                // The target the rule already has is ticked.
                text: (modelData.checked ? "✓ " : "") + modelData.text
                Accessible.checkable: modelData.checked
                Accessible.checked: modelData.checked
                font.family: theme.fontFamily
                font.pixelSize: 13
                contentItem: Text {
                    text: parent.text
                    font: parent.font
                    color: theme.text
                    verticalAlignment: Text.AlignVCenter
                    elide: Text.ElideRight
                }
                background: Rectangle {
                    color: parent.highlighted ? theme.cardBgSecondary : "transparent"
                }
                onTriggered: appRules.runAction(row.index, modelData.action)
            }
            onObjectAdded: (index, entry) => menu.insertItem(index, entry)
            onObjectRemoved: (index, entry) => menu.removeItem(entry)
        }
    }
}
