import QtQuick
import QtQuick.Controls.Basic

// The speaker button of the system card and the app rows: red crossed-out speaker while muted.
AbstractButton {
    id: button

    property bool isMuted: false
    property string toolTip: ""
    readonly property Style style: Style {}

    implicitWidth: 20
    implicitHeight: 20
    focusPolicy: Qt.StrongFocus
    ToolTip.visible: hovered
    ToolTip.delay: 600
    ToolTip.text: toolTip

    contentItem: Item {
        Symbol {
            objectName: "symbol"
            anchors.centerIn: parent
            symbol: button.isMuted ? "speaker.slash.fill" : "speaker.wave.2.fill"
            size: 12
            color: button.isMuted ? button.style.red : button.style.orange
        }
    }
    background: Rectangle {
        radius: 4
        color: button.pressed ? button.style.divider : "transparent"
        border.width: button.activeFocus ? 1 : 0
        border.color: button.style.orange
    }
}
