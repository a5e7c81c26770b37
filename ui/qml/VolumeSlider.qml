import QtQuick
import QtQuick.Controls.Basic

// The volume control of every row: 0 to 1, continuous, orange (gray and dimmed while disabled).
// It never writes its own binding: `moved(value)` reports each new value, and the row stores it.
Slider {
    id: slider

    property bool isDisabled: false
    property string accessibleName: ""
    signal volumeMoved(real value)

    readonly property color tint: isDisabled ? "#8e8e93" : "#ff9500"

    from: 0
    to: 1
    stepSize: 0.01
    enabled: !isDisabled
    opacity: isDisabled ? 0.5 : 1.0
    implicitHeight: 18
    focusPolicy: Qt.StrongFocus
    Accessible.name: accessibleName

    onMoved: volumeMoved(value)
    // Page Up/Down move by a tenth; the arrow keys by the step, through the slider's own keys.
    Keys.onPressed: event => {
        if (event.key !== Qt.Key_PageUp && event.key !== Qt.Key_PageDown)
            return
        value = Math.max(0, Math.min(1, value + (event.key === Qt.Key_PageUp ? 0.1 : -0.1)))
        volumeMoved(value)
        event.accepted = true
    }
}
