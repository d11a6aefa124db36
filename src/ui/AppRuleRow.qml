import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// One application of the per-app rules list: icon, name with where its traffic goes now (under
// per-app routing), its id, the rule's badge, then either the quick-add buttons (no rule yet) or
// the rule's switch, and a menu of the rest (also on a right-click or the menu key).
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
    Accessible.name: modelData.accessibleName

    // Narrow rows carry the badge and the traffic pill under the name, so the name keeps its room.
    readonly property bool narrow: width < 400

    component RuleBadge: Rectangle {
        property alias text: badgeText.text
        // A rule that sends the app through the tunnel is lit.
        property bool lit: false
        implicitWidth: badgeText.implicitWidth + 12
        implicitHeight: badgeText.implicitHeight + 4
        radius: 6
        color: lit ? theme.accentDeep : theme.cardBgSecondary
        border.color: theme.border
        Text {
            id: badgeText
            anchors.fill: parent
            anchors.leftMargin: 6
            anchors.rightMargin: 6
            verticalAlignment: Text.AlignVCenter
            horizontalAlignment: Text.AlignHCenter
            elide: Text.ElideRight
            color: parent.lit ? theme.onAccent : theme.textMuted
            font.family: theme.fontFamily
            font.pixelSize: 11
        }
    }
    // Where the app's traffic goes now: rounded apart from the rule's badge, lit the same way.
    component TrafficPill: RuleBadge {
        radius: height / 2
    }
    // "+ Proxy" and "+ Direct" for an app without a rule.
    component QuickAdd: RowLayout {
        id: quick
        property int rowIndex: -1
        property string appName: ""
        spacing: 6
        Repeater {
            model: [["proxy", appRules.captions.quickAddProxy, "quickAddProxy_"],
                    ["direct", appRules.captions.quickAddDirect, "quickAddDirect_"]]
            AppButton {
                required property var modelData
                // Named only where it shows, so a lookup by name finds the button on screen.
                objectName: quick.visible ? modelData[2] + quick.appName : ""
                text: modelData[1]
                fontSize: 12
                horizontalPadding: 8
                Accessible.name: text + " " + quick.appName
                onClicked: appRules.setRule(quick.rowIndex, modelData[0])
            }
        }
    }
    readonly property bool badgeLit: modelData.badgeLit

    function openMenu() {
        menuEntries.model = appRules.rowMenu(index)
        menu.popup(menuButton, menuButton.width - menu.width, menuButton.height)
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

        // An app whose entry names no icon (or that was not scanned yet) gets the generic one.
        Image {
            Layout.preferredWidth: 28
            Layout.preferredHeight: 28
            sourceSize: Qt.size(28, 28)
            asynchronous: true
            source: "image://appicon/" + encodeURIComponent(row.modelData.icon)
        }
        ColumnLayout {
            Layout.fillWidth: true
            Layout.minimumWidth: 40
            spacing: 1
            // A plain row: the name takes its own width (the room left beside the pill at most),
            // so the pill follows the name rather than the row's edge.
            Row {
                id: nameLine
                Layout.fillWidth: true
                spacing: 6
                Text {
                    width: Math.min(implicitWidth, nameLine.width - (trafficBeside.visible
                                    ? trafficBeside.width + nameLine.spacing : 0))
                    anchors.verticalCenter: parent.verticalCenter
                    text: row.modelData.name
                    color: theme.text
                    font.family: theme.fontFamily
                    font.pixelSize: 13
                    font.weight: Font.Medium
                    elide: Text.ElideRight
                }
                TrafficPill {
                    id: trafficBeside
                    objectName: visible ? "appTraffic_" + row.modelData.name : ""
                    anchors.verticalCenter: parent.verticalCenter
                    text: row.modelData.traffic
                    lit: row.modelData.trafficLit
                    visible: !row.narrow && row.modelData.traffic.length > 0
                    width: Math.min(implicitWidth, 100)
                }
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
            QuickAdd {
                rowIndex: row.index
                appName: row.modelData.name
                Layout.topMargin: 4
                visible: row.narrow && !row.modelData.hasRule
            }
            Flow {
                id: narrowPills
                Layout.fillWidth: true
                visible: row.narrow
                         && (row.modelData.badge.length > 0 || row.modelData.traffic.length > 0)
                spacing: 4
                RuleBadge {
                    text: row.modelData.badge
                    lit: row.badgeLit
                    visible: row.modelData.badge.length > 0
                    width: Math.min(implicitWidth, narrowPills.width)
                }
                TrafficPill {
                    objectName: visible ? "appTraffic_" + row.modelData.name : ""
                    text: row.modelData.traffic
                    lit: row.modelData.trafficLit
                    visible: row.modelData.traffic.length > 0
                    width: Math.min(implicitWidth, narrowPills.width)
                }
            }
        }
        RuleBadge {
            text: row.modelData.badge
            lit: row.badgeLit
            visible: !row.narrow && row.modelData.badge.length > 0
            Layout.maximumWidth: 140
        }
        QuickAdd {
            rowIndex: row.index
            appName: row.modelData.name
            visible: !row.narrow && !row.modelData.hasRule
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
        // Kept inside the window, also below a row near its edge.
        margins: 6
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
                text: modelData.label
                Accessible.name: modelData.text
                Accessible.checkable: modelData.checked
                Accessible.checked: modelData.checked
                font.family: theme.fontFamily
                font.pixelSize: 13
                leftPadding: 12
                rightPadding: 12
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
