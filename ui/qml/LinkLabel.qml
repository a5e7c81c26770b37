import QtQuick
import QtQuick.Controls.Basic

// An orange text that opens its address in the browser.
Label {
    id: link

    property string url: ""
    readonly property Style style: Style {}

    font.pixelSize: 13
    font.underline: area.containsMouse
    color: style.orange
    Accessible.role: Accessible.Link

    MouseArea {
        id: area
        anchors.fill: parent
        hoverEnabled: true
        cursorShape: Qt.PointingHandCursor
        onClicked: if (link.url) Qt.openUrlExternally(link.url)
    }
}
