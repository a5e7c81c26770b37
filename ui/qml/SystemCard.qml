import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// The first card of the list: the default output device with its own volume and mute. Its name
// opens the list of output devices; the one chosen becomes the system's default output.
Rectangle {
    id: card

    // The output list is open down to `bottom` in the window (0: closed); the panel grows to it.
    signal menuExtentRequested(real bottom)

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
            AbstractButton {
                id: outputButton
                objectName: "outputButton"
                Layout.fillWidth: true
                implicitHeight: nameRow.implicitHeight
                focusPolicy: Qt.StrongFocus
                Accessible.role: Accessible.ButtonMenu
                Accessible.name: "Output device " + card.deviceName
                Accessible.description: "Choose the output device"
                onClicked: outputMenu.open()
                contentItem: RowLayout {
                    id: nameRow
                    spacing: 3
                    Text {
                        Layout.maximumWidth: outputButton.width - 12
                        text: card.deviceName
                        elide: Text.ElideRight
                        font.pixelSize: 12
                        font.weight: Font.Medium
                        color: card.style.primary
                    }
                    Symbol {
                        symbol: "chevron.down"
                        size: 7
                        color: card.style.secondary
                    }
                    Item { Layout.fillWidth: true }
                }
                background: Rectangle {
                    radius: 3
                    color: "transparent"
                    border.width: outputButton.activeFocus ? 1 : 0
                    border.color: card.style.orange
                }

                // Like an app's routing menu: plain items that follow the device list while it
                // is open, inside the window (the panel grows for it).
                Popup {
                    id: outputMenu
                    objectName: "outputMenu"
                    readonly property int itemHeight: 28
                    y: outputButton.height + 2
                    width: 240
                    margins: 6
                    padding: 4
                    focus: true
                    implicitHeight: outputList.count * itemHeight + topPadding + bottomPadding
                    onAboutToShow: card.menuExtentRequested(outputButton.mapToItem(null, 0, 0).y
                                                            + y + implicitHeight + margins)
                    onOpened: {
                        outputList.currentIndex = Math.max(0, outputList.defaultIndex())
                        outputList.forceActiveFocus()
                    }
                    onClosed: {
                        card.menuExtentRequested(0)
                        outputButton.forceActiveFocus()
                    }
                    background: Rectangle {
                        radius: 6
                        color: card.style.background
                        border.width: 0.5
                        border.color: card.style.divider
                    }
                    contentItem: ListView {
                        id: outputList
                        objectName: "outputItems"
                        clip: true
                        boundsBehavior: Flickable.StopAtBounds
                        keyNavigationEnabled: true
                        highlightMoveDuration: 0
                        model: card.viewModel ? card.viewModel.availableOutputDevices : []
                        function defaultIndex() {
                            for (let i = 0; i < count; ++i)
                                if (model[i].id === card.viewModel.outputDeviceUID) return i
                            return -1
                        }
                        ScrollBar.vertical: ScrollBar {
                            policy: outputList.contentHeight > outputList.height
                                    ? ScrollBar.AlwaysOn : ScrollBar.AlwaysOff
                        }
                        delegate: ItemDelegate {
                            id: outputItem
                            required property var modelData
                            required property int index
                            readonly property bool isDefault:
                                card.viewModel && modelData.id === card.viewModel.outputDeviceUID
                            width: ListView.view.width
                            height: outputMenu.itemHeight
                            focus: ListView.isCurrentItem
                            focusPolicy: Qt.StrongFocus
                            Accessible.role: Accessible.MenuItem
                            Accessible.checkable: true
                            Accessible.checked: isDefault
                            Accessible.name: modelData.name
                            Accessible.description: "Play the system's sound on " + modelData.name
                            Keys.onReturnPressed: clicked()
                            Keys.onEnterPressed: clicked()
                            onHoveredChanged: if (hovered) outputList.currentIndex = index
                            onClicked: {
                                outputMenu.close()
                                card.viewModel.setDefaultOutputDevice(modelData.id)
                            }
                            contentItem: RowLayout {
                                spacing: 6
                                Symbol {
                                    objectName: "outputCheck"
                                    symbol: "checkmark.circle.fill"
                                    opacity: outputItem.isDefault ? 1 : 0
                                    size: 12
                                    color: card.style.orange
                                }
                                Symbol {
                                    symbol: outputItem.modelData.icon
                                    size: 12
                                    color: card.style.secondary
                                }
                                Text {
                                    Layout.fillWidth: true
                                    text: outputItem.modelData.name
                                    elide: Text.ElideRight
                                    font.pixelSize: 12
                                    color: card.style.primary
                                }
                            }
                            background: Rectangle {
                                radius: 4
                                color: outputItem.ListView.isCurrentItem
                                       && (outputItem.hovered || outputList.activeFocus)
                                       ? Qt.rgba(card.style.orange.r, card.style.orange.g,
                                                 card.style.orange.b, 0.18)
                                       : "transparent"
                            }
                        }
                    }
                }
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
