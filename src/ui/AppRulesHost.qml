import QtQuick
import QtQuick.Layouts

// The per-app rules tab: the panel over `appRules`; its toasts go to the window's.
ColumnLayout {
    id: host
    signal toastRequested(string message)
    spacing: 12
    AppRulesPanel {
        Layout.fillWidth: true
        onToastRequested: (message) => host.toastRequested(message)
    }
}
