import QtQuick
import QtQuick.Controls.Basic

// The volume control of every row: 0 to 1, continuous, orange (gray and dimmed while disabled).
// The row binds `value` to the model and reports each new value with `volumeMoved`; the slider
// never assigns `value` from QML itself, which would cut that binding for good. Arrow keys move
// it by 1 %, Page Up/Down by 10 % (reported only: the model's answer moves the knob).
Slider {
    id: slider

    property bool isDisabled: false
    property string accessibleName: ""
    // The current peak level, 0 to 1, drawn as a thin bar under the track; below 0: no bar.
    property real level: -1
    // The value as the rows print it: truncated to a whole percent. The small allowance keeps a
    // float such as 0.29f (0.2899999...) from showing as 28 %.
    readonly property string percentText: Math.floor(value * 100 + 1e-4) + "%"
    readonly property Style style: Style {}
    signal volumeMoved(real value)

    from: 0
    to: 1
    stepSize: 0.01
    enabled: !isDisabled
    opacity: isDisabled ? 0.5 : 1.0
    padding: 0
    implicitHeight: 18
    implicitWidth: 120
    focusPolicy: Qt.StrongFocus
    Accessible.name: accessibleName
    Accessible.description: percentText

    onMoved: volumeMoved(value)
    Keys.onPressed: event => {
        if (event.key !== Qt.Key_PageUp && event.key !== Qt.Key_PageDown)
            return
        volumeMoved(Math.max(0, Math.min(1, value + (event.key === Qt.Key_PageUp ? 0.1 : -0.1))))
        event.accepted = true
    }

    background: Rectangle {
        x: slider.leftPadding
        y: slider.topPadding + (slider.availableHeight - height) / 2
        width: slider.availableWidth
        height: 4
        radius: 2
        color: slider.style.divider

        Rectangle {
            width: slider.visualPosition * parent.width
            height: parent.height
            radius: 2
            color: slider.isDisabled ? slider.style.gray : slider.style.orange
        }
        Rectangle {
            objectName: "levelBar"
            visible: slider.level >= 0
            y: parent.height + 3
            width: Math.min(Math.max(slider.level, 0), 1) * parent.width
            height: 2
            radius: 1
            color: slider.style.orange
            opacity: 0.55
        }
    }

    handle: Rectangle {
        x: slider.leftPadding + slider.visualPosition * (slider.availableWidth - width)
        y: slider.topPadding + (slider.availableHeight - height) / 2
        width: 14
        height: 14
        radius: 7
        color: slider.pressed ? Qt.darker("#ffffff", 1.08) : "#ffffff"
        border.width: slider.activeFocus ? 2 : 0.5
        border.color: slider.activeFocus ? slider.style.orange : Qt.rgba(0, 0, 0, 0.25)
    }
}
