import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// One section of a grouped form: its title above a rounded group of rows.
ColumnLayout {
    id: section

    property string title: ""
    default property alias rows: group.data
    readonly property Style style: Style {}

    Layout.fillWidth: true
    spacing: 6

    Label {
        Layout.leftMargin: 4
        text: section.title
        font.pixelSize: 13
        font.bold: true
        color: section.style.primary
    }
    Rectangle {
        Layout.fillWidth: true
        implicitHeight: group.implicitHeight + 20
        radius: 8
        color: section.style.card
        border.color: section.style.cardOutline

        ColumnLayout {
            id: group
            anchors.fill: parent
            anchors.margins: 10
            spacing: 8
        }
    }
}
