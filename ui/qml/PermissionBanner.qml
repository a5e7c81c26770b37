import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// Shown while the audio server does not let us capture other apps' sound. What grants it on
// Linux differs: outside a sandbox the audio server's own access rules, inside a Flatpak sandbox
// the sandbox's permissions.
Rectangle {
    id: banner

    property bool isSandboxed: false
    signal openRequested()

    readonly property Style style: Style {}

    implicitHeight: content.implicitHeight + 16
    color: Qt.rgba(style.red.r, style.red.g, style.red.b, 0.85)

    ColumnLayout {
        id: content
        anchors.fill: parent
        anchors.leftMargin: 12
        anchors.rightMargin: 12
        anchors.topMargin: 8
        anchors.bottomMargin: 8
        spacing: 6

        RowLayout {
            spacing: 8
            Symbol {
                symbol: "speaker.slash"
                size: 12
                color: "white"
            }
            Text {
                Layout.fillWidth: true
                text: "Audio capture access required"
                font.pixelSize: 11
                font.weight: Font.DemiBold
                color: "white"
            }
        }
        Text {
            objectName: "explanation"
            Layout.fillWidth: true
            wrapMode: Text.Wrap
            text: banner.isSandboxed
                  ? "Mixelot runs in a sandbox without full access to PipeWire. Allow it to manage audio in its sandbox permissions (Flatseal can change them), then restart Mixelot."
                  : "PipeWire's access rules keep Mixelot from moving other apps' sound. Give Mixelot full access in the audio server's client rules, then restart Mixelot."
            font.pixelSize: 10
            color: Qt.rgba(1, 1, 1, 0.85)
        }
        AbstractButton {
            id: button
            objectName: "openButton"
            text: banner.isSandboxed ? "Open App Permissions" : "Open Access Help"
            focusPolicy: Qt.StrongFocus
            leftPadding: 10
            rightPadding: 10
            topPadding: 4
            bottomPadding: 4
            Accessible.name: text
            onClicked: banner.openRequested()
            contentItem: Text {
                text: button.text
                font.pixelSize: 10
                font.weight: Font.DemiBold
                color: "white"
            }
            background: Rectangle {
                radius: height / 2
                color: Qt.rgba(1, 1, 1, button.pressed ? 0.3 : 0.2)
                border.width: button.activeFocus ? 1 : 0
                border.color: "white"
            }
        }
    }
}
