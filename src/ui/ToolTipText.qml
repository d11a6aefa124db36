import QtQuick
import QtQuick.Controls.Basic

// The hover hint of the button it sits in.
ToolTip {
    visible: parent.hovered
    delay: 600
}
