import QtQuick
import QtQuick.Layouts

// A segmented choice over `options` ({value, title}); the segment of `current` is lit.
// Left and right arrows move between segments, Space or Enter chooses.
RowLayout {
    id: segmented
    property var options: []
    property string current: ""
    property string accessibleName: ""
    signal chosen(string value)

    function focusSegment(index) {
        const segment = segments.itemAt(index)
        if (segment) segment.forceActiveFocus(Qt.TabFocusReason)
    }

    spacing: 4
    Layout.fillWidth: true
    Accessible.role: Accessible.PageTabList
    Accessible.name: accessibleName

    Repeater {
        id: segments
        model: segmented.options.length
        AppButton {
            required property int index
            readonly property var modelData: segmented.options[index]
            Layout.fillWidth: true
            Layout.preferredWidth: 1
            text: modelData.title
            selected: modelData.value === segmented.current
            fontSize: 12
            horizontalPadding: 6
            Accessible.role: Accessible.RadioButton
            Accessible.checkable: true
            Accessible.checked: selected
            onClicked: segmented.chosen(modelData.value)
            // Arrows stay within the choice: they stop at its ends.
            Keys.onRightPressed: segmented.focusSegment(index + 1)
            Keys.onLeftPressed: segmented.focusSegment(index - 1)
        }
    }
}
