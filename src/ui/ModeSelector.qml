import QtQuick
import QtQuick.Layouts

// How the next (or the running) connection carries traffic, and whether it splits.
Card {
    Text {
        text: view.texts.connectionMode
        color: theme.textMuted
        font.family: theme.fontFamily
        font.pixelSize: 11
        font.capitalization: Font.AllUppercase
    }
    Segmented {
        objectName: "connectionModeChooser"
        options: view.connectionModes
        current: view.connectionMode
        accessibleName: view.texts.connectionMode
        onChosen: (value) => view.setConnectionMode(value)
    }
    Text {
        text: view.texts.splitMode
        color: theme.textMuted
        font.family: theme.fontFamily
        font.pixelSize: 11
        font.capitalization: Font.AllUppercase
    }
    Segmented {
        objectName: "splitModeChooser"
        options: view.splitModes
        current: view.splitMode
        accessibleName: view.texts.splitMode
        onChosen: (value) => view.setSplitTunnelMode(value)
    }
    Text {
        objectName: "modeNote"
        Layout.fillWidth: true
        visible: text.length > 0
        text: view.modeNote
        color: theme.amber
        font.family: theme.fontFamily
        font.pixelSize: 12
        wrapMode: Text.Wrap
        Accessible.role: Accessible.StaticText
        Accessible.name: text
    }
}
