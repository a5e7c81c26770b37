import QtQuick
import QtQuick.Layouts

// The first card of the list: the default output device with its own volume and mute.
Rectangle {
    id: card

    property var viewModel: null
    // Hands Tab on from the card's last control; true when it did.
    property var tabOut: () => false
    readonly property Style style: Style {}
    readonly property bool isMuted: viewModel ? viewModel.systemMuted : false
    readonly property string deviceName: viewModel ? viewModel.outputDeviceName : "System"

    implicitHeight: content.implicitHeight + 20
    radius: 8
    color: style.card
    border.width: 0.5
    border.color: style.cardOutline

    RowLayout {
        id: content
        anchors.fill: parent
        anchors.leftMargin: 12
        anchors.rightMargin: 12
        anchors.topMargin: 10
        anchors.bottomMargin: 10
        spacing: 10

        Item {
            Layout.preferredWidth: 20
            Layout.preferredHeight: 16
            Symbol {
                anchors.centerIn: parent
                symbol: card.viewModel ? card.viewModel.outputDeviceIcon : "desktopcomputer"
                size: 13
                color: card.style.orange
            }
        }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 2
            Text {
                Layout.fillWidth: true
                text: card.deviceName
                elide: Text.ElideRight
                font.pixelSize: 12
                font.weight: Font.Medium
                color: card.style.primary
            }
            VolumeSlider {
                id: slider
                objectName: "systemSlider"
                Layout.fillWidth: true
                value: card.viewModel ? card.viewModel.systemVolume : 1.0
                isDisabled: card.isMuted
                accessibleName: "Volume of " + card.deviceName
                onVolumeMoved: value => card.viewModel.setSystemVolume(value)
            }
        }
        Text {
            objectName: "systemPercent"
            Layout.preferredWidth: 36
            horizontalAlignment: Text.AlignRight
            text: slider.percentText
            font.pixelSize: 11
            font.weight: Font.Medium
            color: card.style.secondary
        }
        MuteButton {
            objectName: "systemMuteButton"
            Keys.onTabPressed: event => event.accepted = card.tabOut()
            isMuted: card.isMuted
            // A device without a mute control cannot be muted from here.
            enabled: card.viewModel ? card.viewModel.deviceSupportsMute : true
            opacity: enabled ? 1.0 : 0.5
            toolTip: card.isMuted ? "Unmute System" : "Mute System"
            Accessible.name: (card.isMuted ? "Unmute " : "Mute ") + card.deviceName
            onClicked: card.viewModel.toggleSystemMute()
        }
    }
}
