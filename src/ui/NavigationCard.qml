import QtQuick
import QtQuick.Layouts

// One row per tab of the detail area. Up and down arrows move the selection; Tab leaves.
Card {
    id: card
    property string currentTab: "overview"
    signal tabChosen(string tab)

    spacing: 4
    Accessible.role: Accessible.PageTabList
    Accessible.name: view.texts.sections

    function step(from, delta) {
        const rows = view.navigationRows
        let index = 0
        for (let i = 0; i < rows.length; ++i) if (rows[i].tab === from) index = i
        const next = Math.max(0, Math.min(rows.length - 1, index + delta))
        tabChosen(rows[next].tab)
        repeater.itemAt(next).forceActiveFocus()
    }

    Repeater {
        id: repeater
        // By count: the rows' texts change every traffic tick, and rebuilding them would drop
        // the keyboard focus.
        model: view.navigationRows.length
        Rectangle {
            id: row
            required property int index
            readonly property var modelData: view.navigationRows[index]
            readonly property bool selected: modelData.tab === card.currentTab
            objectName: "navRow_" + modelData.tab
            Layout.fillWidth: true
            implicitHeight: rowColumn.implicitHeight + 16
            radius: 8
            color: selected ? theme.cardBgSecondary : "transparent"
            // A click focuses the row too (so the arrows work next), but only keyboard focus
            // shows the ring.
            property bool focusFromMouse: false
            readonly property bool visualFocus: activeFocus && !focusFromMouse
            onActiveFocusChanged: if (!activeFocus) focusFromMouse = false
            border.color: visualFocus ? theme.accent : (selected ? theme.border : "transparent")
            border.width: visualFocus ? 2 : 1
            activeFocusOnTab: selected
            Accessible.role: Accessible.PageTab
            Accessible.name: modelData.title + ", " + modelData.subtitle
            Accessible.selectable: true
            Accessible.selected: selected
            Accessible.onPressAction: card.tabChosen(modelData.tab)
            Keys.onDownPressed: card.step(modelData.tab, 1)
            Keys.onUpPressed: card.step(modelData.tab, -1)
            Keys.onRightPressed: card.step(modelData.tab, 1)
            Keys.onLeftPressed: card.step(modelData.tab, -1)
            Keys.onSpacePressed: card.tabChosen(modelData.tab)
            Keys.onReturnPressed: card.tabChosen(modelData.tab)

            Rectangle {
                visible: row.selected
                width: 3
                radius: 1.5
                anchors.left: parent.left
                anchors.top: parent.top
                anchors.bottom: parent.bottom
                anchors.margins: 8
                color: theme.accent
            }
            ColumnLayout {
                id: rowColumn
                anchors.fill: parent
                anchors.leftMargin: 16
                anchors.rightMargin: 10
                anchors.topMargin: 8
                anchors.bottomMargin: 8
                spacing: 2
                RowLayout {
                    Layout.fillWidth: true
                    spacing: 6
                    Text {
                        Layout.fillWidth: true
                        text: row.modelData.title
                        color: row.selected ? theme.text : theme.text
                        font.family: theme.fontFamily
                        font.pixelSize: 13
                        font.weight: row.selected ? Font.DemiBold : Font.Medium
                        elide: Text.ElideRight
                    }
                    Rectangle {
                        visible: row.modelData.live
                        radius: 4
                        color: theme.emerald
                        implicitWidth: liveText.implicitWidth + 10
                        implicitHeight: liveText.implicitHeight + 4
                        Text {
                            id: liveText
                            anchors.centerIn: parent
                            text: view.texts.live
                            color: theme.onAccent
                            font.family: theme.fontFamily
                            font.pixelSize: 9
                            font.weight: Font.Bold
                        }
                    }
                    Text {
                        visible: text.length > 0
                        text: row.modelData.trailing
                        color: theme.textMuted
                        font.family: theme.monoFamily
                        font.pixelSize: 11
                    }
                }
                Text {
                    Layout.fillWidth: true
                    text: row.modelData.subtitle
                    color: theme.textMuted
                    font.family: theme.fontFamily
                    font.pixelSize: 11
                    elide: Text.ElideRight
                }
            }
            MouseArea {
                anchors.fill: parent
                cursorShape: Qt.PointingHandCursor
                onClicked: {
                    card.tabChosen(row.modelData.tab)
                    row.focusFromMouse = true
                    row.forceActiveFocus()
                }
            }
        }
    }
}
