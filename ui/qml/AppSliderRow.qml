import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Controls.impl
import QtQuick.Layouts

// One app's card: icon, name, routing menu, slider with percentage and mute button, context
// menu, and one sub-row per routed device. It shows what it is given and reports every action
// as a signal; the panel turns them into view model calls.
Rectangle {
    id: row

    // One entry of the view model's app list (the roles of AppListModel).
    required property string appId
    required property string name
    required property string icon
    required property real currentVolume
    required property bool isMuted
    required property int routedCount
    required property string routeIcon
    required property string routeToolTip
    required property var routeItems
    required property var deviceRows
    property int availableDeviceCount: 0
    // The app's and its devices' peak levels, or -1 each while nobody samples them.
    property real level: -1
    property var deviceLevels: ({})

    // The slider's own copy of the app volume, so a drag is smooth while the model catches up.
    property real localVolume: 0.0

    signal volumeChangeRequested(real value)
    signal toggleMuteRequested()
    signal resetVolumeRequested()
    signal hideRequested()
    signal toggleDeviceRequested(string uid)
    signal deviceVolumeChangeRequested(string uid, real value)
    signal activateRequested()

    readonly property Style style: Style {}

    implicitHeight: content.implicitHeight
    radius: 8
    color: style.card
    border.width: 0.5
    border.color: style.cardOutline
    Accessible.role: Accessible.Grouping
    Accessible.name: name

    // The local volume rules. The model tells a row of a mute before it tells of the volume that
    // goes with it, so a muted row never follows its volume down to 0.
    onCurrentVolumeChanged: if (!isMuted) localVolume = currentVolume
    onIsMutedChanged: if (!isMuted && currentVolume > 0) localVolume = currentVolume
    Component.onCompleted: localVolume = (isMuted && currentVolume <= 0) ? 1.0 : currentVolume

    function openContextMenu(x, y) { contextMenu.popup(row, x, y) }
    Keys.onMenuPressed: openContextMenu(12, 30)

    MouseArea {
        anchors.fill: parent
        acceptedButtons: Qt.RightButton
        onClicked: mouse => row.openContextMenu(mouse.x, mouse.y)
    }

    ColumnLayout {
        id: content
        anchors.left: parent.left
        anchors.right: parent.right
        spacing: 0

        // Top line: icon, name, routing menu.
        RowLayout {
            Layout.leftMargin: 12
            Layout.rightMargin: 12
            Layout.topMargin: 10
            Layout.bottomMargin: 10
            spacing: 4

            AbstractButton {
                id: iconButton
                objectName: "iconButton"
                implicitWidth: 24
                implicitHeight: 24
                focusPolicy: Qt.StrongFocus
                Accessible.name: "Bring " + row.name + " to front"
                ToolTip.visible: hovered
                ToolTip.delay: 600
                ToolTip.text: "Bring " + row.name + " to front"
                onClicked: row.activateRequested()
                contentItem: Item {
                    IconImage {
                        anchors.fill: parent
                        visible: row.icon !== ""
                        sourceSize: Qt.size(48, 48)
                        source: row.icon.startsWith("/") ? "file://" + row.icon : ""
                        name: row.icon.startsWith("/") ? "" : row.icon
                    }
                    Symbol {
                        anchors.centerIn: parent
                        visible: row.icon === ""
                        symbol: "app.fill"
                        size: 16
                        color: row.style.tertiary
                    }
                }
                background: Rectangle {
                    radius: 4
                    color: "transparent"
                    border.width: iconButton.activeFocus ? 1 : 0
                    border.color: row.style.orange
                }
            }
            Text {
                objectName: "name"
                Layout.fillWidth: true
                text: row.name
                elide: Text.ElideRight
                font.pixelSize: 12
                font.weight: Font.Medium
                color: row.style.primary
                ToolTip.visible: nameHover.hovered
                ToolTip.delay: 600
                ToolTip.text: row.name
                HoverHandler { id: nameHover }
            }
            AbstractButton {
                id: routeButton
                objectName: "routeButton"
                visible: row.availableDeviceCount >= 2
                readonly property bool routed: row.routedCount > 0
                readonly property color tint: routed ? row.style.orange : row.style.secondary
                focusPolicy: Qt.StrongFocus
                padding: 0
                leftPadding: 4
                rightPadding: 4
                topPadding: 2
                bottomPadding: 2
                Accessible.name: "Output devices of " + row.name
                Accessible.description: row.routeToolTip
                ToolTip.visible: hovered && !routeMenu.visible
                ToolTip.delay: 600
                ToolTip.text: row.routeToolTip
                onClicked: routeMenu.open()
                contentItem: Row {
                    spacing: 2
                    Symbol {
                        objectName: "routeSymbol"
                        anchors.verticalCenter: parent.verticalCenter
                        symbol: row.routeIcon
                        size: 9
                        color: routeButton.tint
                    }
                    Text {
                        objectName: "routeCount"
                        anchors.verticalCenter: parent.verticalCenter
                        visible: row.routedCount >= 2
                        text: row.routedCount
                        font.pixelSize: 8
                        font.bold: true
                        color: routeButton.tint
                    }
                    Symbol {
                        anchors.verticalCenter: parent.verticalCenter
                        symbol: "chevron.down"
                        size: 7
                        color: routeButton.tint
                    }
                }
                background: Rectangle {
                    radius: 4
                    color: routeButton.routed ? Qt.rgba(row.style.orange.r, row.style.orange.g,
                                                        row.style.orange.b, 0.15)
                                              : "transparent"
                    border.width: routeButton.activeFocus ? 1 : 0
                    border.color: row.style.orange
                }

                // The device list. A popup of plain items rather than a Menu: the list grows
                // and shrinks with the devices, and a Menu lays its items out late after that.
                Popup {
                    id: routeMenu
                    objectName: "routeMenu"
                    x: routeButton.width - width
                    y: routeButton.height + 2
                    padding: 4
                    focus: true
                    onOpened: if (routeItemsRepeater.count > 0) routeItemsRepeater.itemAt(0).forceActiveFocus()
                    background: Rectangle {
                        radius: 6
                        color: row.style.background
                        border.width: 0.5
                        border.color: row.style.divider
                    }
                    contentItem: Column {
                        Repeater {
                            id: routeItemsRepeater
                            objectName: "routeItems"
                            model: row.routeItems
                            delegate: ItemDelegate {
                                id: routeItem
                                required property var modelData
                                required property int index
                                width: 200
                                height: 28
                                text: modelData.name
                                focusPolicy: Qt.StrongFocus
                                Accessible.name: (modelData.checked ? "Stop playing " : "Play ")
                                                 + row.name + " on " + modelData.name
                                KeyNavigation.up: index > 0 ? routeItemsRepeater.itemAt(index - 1) : null
                                KeyNavigation.down: routeItemsRepeater.itemAt(index + 1)
                                Keys.onReturnPressed: clicked()
                                Keys.onEnterPressed: clicked()
                                onClicked: {
                                    routeMenu.close()
                                    row.toggleDeviceRequested(modelData.id)
                                }
                                contentItem: Row {
                                    spacing: 6
                                    Symbol {
                                        anchors.verticalCenter: parent.verticalCenter
                                        symbol: routeItem.modelData.checked ? "checkmark.circle.fill" : "circle"
                                        size: 12
                                        color: routeItem.modelData.checked ? row.style.orange : row.style.secondary
                                    }
                                    Symbol {
                                        anchors.verticalCenter: parent.verticalCenter
                                        symbol: routeItem.modelData.icon
                                        size: 12
                                        color: row.style.secondary
                                    }
                                    Text {
                                        anchors.verticalCenter: parent.verticalCenter
                                        text: routeItem.modelData.name
                                        font.pixelSize: 12
                                        color: row.style.primary
                                    }
                                }
                                background: Rectangle {
                                    radius: 4
                                    color: routeItem.hovered || routeItem.activeFocus
                                           ? Qt.rgba(row.style.orange.r, row.style.orange.g, row.style.orange.b, 0.18)
                                           : "transparent"
                                }
                            }
                        }
                    }
                }
            }
        }

        // Slider line: status icon, slider, percentage, mute button.
        RowLayout {
            Layout.leftMargin: 12
            Layout.rightMargin: 12
            Layout.bottomMargin: row.routedCount > 0 ? 4 : 12
            spacing: 10
            opacity: row.isMuted ? 0.5 : 1.0

            Item {
                Layout.preferredWidth: 20
                Layout.preferredHeight: 16
                Symbol {
                    anchors.centerIn: parent
                    symbol: row.isMuted ? "speaker.slash.fill" : "speaker.wave.2.fill"
                    size: 13
                    color: row.isMuted ? row.style.secondary : row.style.orange
                }
            }
            VolumeSlider {
                id: slider
                objectName: "slider"
                Layout.fillWidth: true
                value: row.localVolume
                level: row.level
                isDisabled: row.isMuted
                accessibleName: "Volume of " + row.name
                onVolumeMoved: value => {
                    row.localVolume = value
                    row.volumeChangeRequested(value)
                }
            }
            Text {
                objectName: "percent"
                Layout.preferredWidth: 36
                horizontalAlignment: Text.AlignRight
                text: slider.percentText
                font.pixelSize: 11
                font.weight: Font.Medium
                color: row.isMuted ? row.style.tertiary : row.style.secondary
            }
            MuteButton {
                objectName: "muteButton"
                isMuted: row.isMuted
                toolTip: row.isMuted ? "Unmute" : "Mute"
                Accessible.name: (row.isMuted ? "Unmute " : "Mute ") + row.name
                onClicked: row.toggleMuteRequested()
            }
        }

        // Device sub-rows.
        ColumnLayout {
            visible: row.deviceRows.length > 0
            Layout.leftMargin: 12
            Layout.rightMargin: 12
            Layout.bottomMargin: visible ? 12 : 0
            spacing: 2
            Repeater {
                objectName: "deviceRows"
                model: row.deviceRows
                delegate: DeviceVolumeRow {
                    required property var modelData
                    Layout.fillWidth: true
                    deviceName: modelData.name
                    deviceIcon: modelData.icon
                    appName: row.name
                    volume: modelData.volume
                    level: row.deviceLevels[modelData.uid] ?? -1
                    isMuted: row.isMuted
                    onVolumeChangeRequested: value =>
                        row.deviceVolumeChangeRequested(modelData.uid, value)
                }
            }
        }
    }

    Menu {
        id: contextMenu
        objectName: "contextMenu"
        MenuItem {
            text: "Reset to 100%"
            onTriggered: row.resetVolumeRequested()
        }
        MenuItem {
            text: row.isMuted ? "Unmute" : "Mute"
            onTriggered: row.toggleMuteRequested()
        }
        MenuSeparator {}
        MenuItem {
            text: "Hide from list"
            onTriggered: row.hideRequested()
        }
    }
}
