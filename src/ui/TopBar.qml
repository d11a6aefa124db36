import QtQuick
import QtQuick.Layouts

// The product name and version, the theme chips and the language toggle.
Flow {
    id: bar
    spacing: 10

    RowLayout {
        spacing: 8
        height: 32
        Text {
            objectName: "productName"
            text: "Nimbra"
            color: theme.text
            font.family: theme.fontFamily
            font.pixelSize: 17
            font.weight: Font.Bold
            Accessible.role: Accessible.Heading
            Accessible.name: text
        }
        Text {
            objectName: "versionLabel"
            text: view.version
            color: theme.textMuted
            font.family: theme.monoFamily
            font.pixelSize: 11
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }
    }

    Segmented {
        objectName: "themeChooser"
        width: Math.min(300, bar.width)
        options: view.themes
        current: view.theme
        accessibleName: view.texts.theme
        onChosen: (value) => view.setTheme(value)
    }

    AppButton {
        objectName: "languageToggle"
        text: view.languageToggleTitle
        fontSize: 12
        Accessible.name: view.texts.language + ": " + text
        onClicked: view.setLanguage(view.language === "zh" ? "en" : "zh")
    }

    // Without a tray there is no menu to quit from, so the window offers it (as Ctrl+Q).
    AppButton {
        objectName: "quitButton"
        visible: typeof trayHost !== "undefined" && !(trayHost?.hasTray ?? true)
        text: view.quitTitle
        fontSize: 12
        onClicked: Qt.quit()
    }
}
