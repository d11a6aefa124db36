import QtQuick
import QtQuick.Layouts

// Where the per-app rule editor lives; until it does, one line says so.
ColumnLayout {
    spacing: 12
    PanelHeader { title: view.navigationRows.length > 2 ? view.navigationRows[2].title : "" }
    Card {
        Text {
            objectName: "appRulesPlaceholder"
            Layout.fillWidth: true
            text: view.texts.appRulesPending
            color: theme.textMuted
            font.family: theme.fontFamily
            font.pixelSize: 13
            wrapMode: Text.Wrap
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }
    }
}
