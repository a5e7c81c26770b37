import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// More Corvana: the maker's other applications, each with a line about it and a link.
ScrollView {
    id: tab

    property var about: null
    readonly property Style style: Style {}

    contentWidth: availableWidth
    clip: true

    ColumnLayout {
        width: tab.availableWidth - 32
        x: 16
        spacing: 12

        Item { implicitHeight: 8 }

        Repeater {
            model: MoreCorvana {}
            delegate: Rectangle {
                id: entry
                required property string name
                required property string symbol
                required property string summary
                required property string path
                Layout.fillWidth: true
                implicitHeight: row.implicitHeight + 24
                radius: 8
                color: tab.style.card
                border.color: tab.style.cardOutline

                RowLayout {
                    id: row
                    anchors.fill: parent
                    anchors.margins: 12
                    spacing: 12
                    Symbol {
                        Layout.alignment: Qt.AlignTop
                        symbol: entry.symbol
                        size: 24
                        color: tab.style.orange
                    }
                    ColumnLayout {
                        Layout.fillWidth: true
                        spacing: 4
                        Label {
                            text: entry.name
                            font.pixelSize: 14
                            font.bold: true
                            color: tab.style.primary
                        }
                        Label {
                            Layout.fillWidth: true
                            text: entry.summary
                            wrapMode: Text.WordWrap
                            font.pixelSize: 12
                            color: tab.style.secondary
                        }
                        LinkLabel {
                            text: "Learn more"
                            url: tab.about ? tab.about.makerUrl + entry.path : ""
                        }
                    }
                }
            }
        }
    }
}
