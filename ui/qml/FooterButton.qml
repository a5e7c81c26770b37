import QtQuick
import QtQuick.Controls.Basic

// A plain symbol button of the footer; its tooltip is also its accessible name.
AbstractButton {
    id: button

    property string symbol: ""
    property real symbolSize: 12
    property string toolTip: ""
    readonly property Style style: Style {}

    implicitWidth: 22
    implicitHeight: 22
    focusPolicy: Qt.StrongFocus
    Accessible.name: toolTip
    ToolTip.visible: hovered
    ToolTip.delay: 600
    ToolTip.text: toolTip

    contentItem: Item {
        Symbol {
            anchors.centerIn: parent
            symbol: button.symbol
            size: button.symbolSize
            color: button.style.secondary
        }
    }
    background: Rectangle {
        radius: 4
        color: button.pressed ? button.style.divider : "transparent"
        border.width: button.activeFocus ? 1 : 0
        border.color: button.style.orange
    }
}
