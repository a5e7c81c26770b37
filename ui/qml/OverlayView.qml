import QtQuick

// The overlay's content: an icon and the message on a dark rounded fill. The host sizes the
// window from the implicit size (at least 120 x 44) and sets `message`.
Item {
    id: root

    property string message: ""
    readonly property bool muted: message === "All Muted"

    // From the parts themselves: a Row learns its size only when it is laid out, after the host
    // has sized the window.
    implicitWidth: 16 + icon.width + content.spacing + label.implicitWidth + 16
    implicitHeight: 12 + Math.max(icon.height, label.implicitHeight) + 12

    Accessible.role: Accessible.AlertMessage
    Accessible.name: message

    // No translucent material here: a plain dark fill of the same look.
    Rectangle {
        anchors.fill: parent
        radius: 14
        color: Qt.rgba(0.11, 0.11, 0.12, 0.85)
    }

    Row {
        id: content
        anchors.centerIn: parent
        spacing: 8

        Symbol {
            id: icon
            anchors.verticalCenter: parent.verticalCenter
            symbol: root.muted ? "speaker.slash.fill" : "speaker.wave.2.fill"
            size: 18
            color: "white"
        }

        Text {
            id: label
            anchors.verticalCenter: parent.verticalCenter
            text: root.message
            color: Qt.rgba(1, 1, 1, 0.9)
            font.pixelSize: 13
            font.weight: Font.DemiBold
        }
    }
}
