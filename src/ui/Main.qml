import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// The main window: the top bar, then the status card, mode selector and navigation beside the
// panel of the selected tab (stacked when narrow). Every text and colour comes from `view` (a
// MainWindowModel) and `theme`; the whole content scrolls, so the smallest window reaches all.
ApplicationWindow {
    id: root

    // Set from C++ (MainWindowLifecycle): show/hide/toggle, and a tab a launch asked for.
    property QtObject lifecycle: null
    property string requestedTab: ""
    property string currentTab: "overview"

    width: 800
    height: 620
    minimumWidth: 360
    minimumHeight: 480
    visible: false
    title: "Nimbra"
    color: theme.windowBg
    font.family: theme.fontFamily

    onRequestedTabChanged: if (requestedTab !== "") currentTab = requestedTab
    // A tab the user picks clears the request, so the same request later is heard again.
    function selectTab(tab) {
        currentTab = tab
        requestedTab = ""
    }
    onVisibleChanged: if (visible) view.windowShown()

    // The ambient backdrop: a faint wash of the phase's colour from the top. Its colour eases
    // over only while it changes, and not at all while the window is hidden.
    Rectangle {
        id: backdrop
        property color tint: Qt.rgba(theme[view.statusColor].r, theme[view.statusColor].g,
                                     theme[view.statusColor].b, 0.10)
        anchors.fill: parent
        gradient: Gradient {
            GradientStop { position: 0; color: backdrop.tint }
            GradientStop { position: 0.6; color: "transparent" }
        }
        Behavior on tint {
            enabled: root.visible
            ColorAnimation { duration: 550; easing.type: Easing.InOutQuad }
        }
    }

    ScrollView {
        id: scroller
        objectName: "contentScroller"
        anchors.fill: parent
        contentWidth: availableWidth

        ColumnLayout {
            width: scroller.availableWidth
            spacing: 14

            TopBar {
                Layout.fillWidth: true
                Layout.topMargin: 14
                Layout.leftMargin: 18
                Layout.rightMargin: 18
            }

            GridLayout {
                id: regions
                readonly property bool wide: scroller.availableWidth >= 680
                Layout.fillWidth: true
                Layout.leftMargin: 18
                Layout.rightMargin: 18
                Layout.bottomMargin: 18
                columns: wide ? 2 : 1
                columnSpacing: 16
                rowSpacing: 14

                ColumnLayout {
                    Layout.alignment: Qt.AlignTop
                    Layout.fillWidth: !regions.wide
                    Layout.preferredWidth: regions.wide ? 310 : -1
                    Layout.maximumWidth: regions.wide ? 310 : Number.POSITIVE_INFINITY
                    spacing: 12
                    StatusCard {}
                    ModeSelector {}
                    NavigationCard {
                        objectName: "navigation"
                        currentTab: root.currentTab
                        onTabChosen: (tab) => root.selectTab(tab)
                    }
                }

                // The panel of the selected tab; the others take no room.
                ColumnLayout {
                    objectName: "detailArea"
                    Layout.alignment: Qt.AlignTop
                    Layout.fillWidth: true
                    Layout.fillHeight: false
                    spacing: 0

                    TabPanel {
                        current: root.currentTab === "overview"
                        sourceComponent: OverviewPanel {
                            objectName: "overviewPanel"
                            onCopied: toast.show(view.texts.copied, 1800)
                        }
                    }
                    TabPanel {
                        current: root.currentTab === "exitNodes"
                        sourceComponent: ExitGatewaysPanel { objectName: "exitNodesPanel" }
                    }
                    TabPanel {
                        current: root.currentTab === "appRules"
                        sourceComponent: AppRulesHost {
                            objectName: "appRulesPanel"
                            onToastRequested: (message) => toast.show(message, 2500)
                        }
                    }
                    TabPanel {
                        current: root.currentTab === "advanced"
                        sourceComponent: AdvancedPanel {
                            objectName: "advancedPanel"
                            onCopied: toast.show(view.texts.copied, 2000)
                        }
                    }
                }
            }
        }
    }

    Toasts {
        id: toast
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 18
    }

    // Ctrl+1 to Ctrl+4 open the tabs in their order.
    Repeater {
        model: ["overview", "exitNodes", "appRules", "advanced"]
        Item {
            required property string modelData
            required property int index
            Shortcut {
                sequence: "Ctrl+" + (index + 1)
                onActivated: root.selectTab(modelData)
            }
        }
    }
    Shortcut {
        sequence: "Ctrl+Shift+C"
        enabled: view.buttonEnabled
        onActivated: view.toggle()
    }
    Shortcut {
        sequence: "Ctrl+O"
        onActivated: root.lifecycle.showExistingMainWindow()
    }
    Shortcut {
        sequence: "Ctrl+Q"
        onActivated: Qt.quit()
    }
}
