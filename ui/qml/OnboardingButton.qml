import QtQuick
import QtQuick.Controls.Basic

// The introduction's call to action: white text and arrow on an accent capsule with a glow.
AbstractButton {
    id: button

    property color accent: "#FF6B35"
    property real textSize: 15
    property real arrowSize: 13
    property real shadowOpacity: 0.4
    property real shadowOffset: 4

    spacing: 6
    horizontalPadding: 32
    verticalPadding: 12
    focusPolicy: Qt.NoFocus
    Accessible.name: text

    background: Item {
        // A soft glow under the capsule, in steps, since the toolkit draws no blurred shadow.
        Repeater {
            model: 3
            Rectangle {
                required property int index
                x: -(index + 1) * 2
                y: button.shadowOffset - (index + 1) * 2 + 2
                width: button.width + (index + 1) * 4
                height: button.height + (index + 1) * 4 - 4
                radius: height / 2
                color: button.accent
                opacity: button.shadowOpacity / (3 * (index + 1))
            }
        }
        Rectangle {
            anchors.fill: parent
            radius: height / 2
            color: button.accent
        }
    }
    contentItem: Row {
        spacing: button.spacing
        Label {
            anchors.verticalCenter: parent.verticalCenter
            text: button.text
            color: "white"
            font.pixelSize: button.textSize
            font.weight: Font.DemiBold
        }
        Symbol {
            anchors.verticalCenter: parent.verticalCenter
            symbol: "arrow.right"
            size: button.arrowSize
            color: "white"
        }
    }
}
