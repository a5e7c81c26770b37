import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// About: identity, version, the update controls, links and the contact address.
Item {
    id: tab

    property var updater: null
    property var about: null
    readonly property Style style: Style {}

    ColumnLayout {
        anchors.horizontalCenter: parent.horizontalCenter
        y: 32
        width: 340
        spacing: 16

        Symbol {
            Layout.alignment: Qt.AlignHCenter
            symbol: "speaker.wave.2.fill"
            size: 48
            color: tab.style.orange
        }
        Label {
            Layout.alignment: Qt.AlignHCenter
            text: "mixelot"
            font.pixelSize: 20
            font.bold: true
            color: tab.style.primary
        }
        Label {
            objectName: "version"
            Layout.alignment: Qt.AlignHCenter
            text: "Version " + (tab.about ? tab.about.version : "1.0")
            font.pixelSize: 13
            color: tab.style.secondary
        }
        Label {
            Layout.fillWidth: true
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.WordWrap
            text: "Control the volume of every app independently from your system tray."
            font.pixelSize: 13
            color: tab.style.secondary
        }
        Rectangle {
            Layout.alignment: Qt.AlignHCenter
            implicitWidth: 200
            implicitHeight: 1
            color: tab.style.divider
        }
        ColumnLayout {
            Layout.alignment: Qt.AlignHCenter
            spacing: 8
            Button {
                objectName: "checkForUpdates"
                Layout.alignment: Qt.AlignHCenter
                text: "Check for Updates…"
                enabled: tab.updater !== null && tab.updater.canCheckForUpdates
                onClicked: tab.updater.checkForUpdates()
            }
            CheckBox {
                objectName: "automaticallyDownloadsUpdates"
                Layout.alignment: Qt.AlignHCenter
                text: "Automatically download updates"
                font.pixelSize: 13
                enabled: tab.updater !== null
                checked: tab.updater ? tab.updater.automaticallyDownloadsUpdates : false
                onToggled: {
                    tab.updater.automaticallyDownloadsUpdates = checked
                    checked = Qt.binding(() => tab.updater.automaticallyDownloadsUpdates)
                }
            }
        }
        Rectangle {
            Layout.alignment: Qt.AlignHCenter
            implicitWidth: 200
            implicitHeight: 1
            color: tab.style.divider
        }
        RowLayout {
            Layout.alignment: Qt.AlignHCenter
            spacing: 16
            LinkLabel {
                text: "Mixelot Website"
                url: tab.about ? tab.about.websiteUrl : ""
            }
            LinkLabel {
                text: "Explore More Corvana"
                url: tab.about ? tab.about.makerUrl : ""
            }
        }
        Label {
            Layout.alignment: Qt.AlignHCenter
            text: tab.about ? tab.about.contactEmail : ""
            font.pixelSize: 13
            color: tab.style.secondary
        }
        Label {
            Layout.alignment: Qt.AlignHCenter
            text: "Made by Corvana. Free to use, no account needed."
            font.pixelSize: 10
            color: tab.style.tertiary
        }
    }
}
