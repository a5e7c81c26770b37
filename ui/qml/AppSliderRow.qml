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
    // What the slider shows (the model keeps it, so a row rebuilt after scrolling shows the same).
    required property real sliderVolume
    required property int routedCount
    required property string routeIcon
    required property string routeToolTip
    // Keyed lists of their own, by device: a refresh changes their entries in place.
    required property var routeItems
    required property var deviceRows
    // Bringing the app to the front can work; the icon is a plain picture otherwise.
    required property bool canActivate
    property int availableDeviceCount: 0
    // The app's and its devices' peak levels, or -1 each while nobody samples them.
    property real level: -1
    property var deviceLevel: uid => -1
    // Hands the keyboard on past the row's first or last control (Tab, Backtab), in the panel's
    // order of the rows; true when it did.
    property var tabOut: forward => false

    signal volumeChangeRequested(real value)
    signal toggleMuteRequested()
    signal resetVolumeRequested()
    signal hideRequested()
    signal toggleDeviceRequested(string uid)
    signal deviceVolumeChangeRequested(string uid, real value)
    signal activateRequested()
    // The routing menu needs the panel to reach this far down (in the row's window); 0 once it
    // has closed. The panel grows its window while the menu is open.
    signal menuExtentRequested(real bottom)

    readonly property Style style: Style {}

    implicitHeight: content.implicitHeight
    radius: 8
    color: style.card
    border.width: 0.5
    border.color: style.cardOutline
    Accessible.role: Accessible.Grouping
    Accessible.name: name

    function openContextMenu(x, y) { contextMenu.popup(row, x, y) }
    function refocusRouteButton() {
        let focused = row.Window.activeFocusItem
        let above = !focused || routeList.activeFocus
        for (let item = row; item && !above; item = item.parent)
            above = item === focused
        if (above && routeButton.visible)
            routeButton.forceActiveFocus()
    }
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
                enabled: row.canActivate
                focusPolicy: Qt.StrongFocus
                Keys.onBacktabPressed: event => event.accepted = row.tabOut(false)
                Accessible.name: enabled ? "Bring " + row.name + " to front" : row.name
                ToolTip.visible: hovered && enabled
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
                Keys.onBacktabPressed: event => event.accepted = !iconButton.enabled
                                                                 && row.tabOut(false)
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
                // It stays inside the window (the panel grows its window for it while it is
                // open) and scrolls where even that is too short.
                Popup {
                    id: routeMenu
                    objectName: "routeMenu"
                    readonly property int itemHeight: 28
                    x: routeButton.width - width
                    y: routeButton.height + 2
                    width: 240
                    margins: 6
                    padding: 4
                    focus: true
                    // Known before the list has laid anything out: the items are of one height.
                    implicitHeight: routeList.count * itemHeight + topPadding + bottomPadding
                    onAboutToShow: row.menuExtentRequested(routeButton.mapToItem(null, 0, 0).y
                                                           + y + implicitHeight + margins)
                    onOpened: {
                        routeList.currentIndex = 0
                        routeList.positionViewAtBeginning()
                        routeList.forceActiveFocus()
                    }
                    // Back to the button that opened it, unless the user has put the focus
                    // somewhere else meanwhile (a click beside the menu).
                    onClosed: {
                        row.menuExtentRequested(0)
                        Qt.callLater(row.refocusRouteButton)
                    }
                    background: Rectangle {
                        radius: 6
                        color: row.style.background
                        border.width: 0.5
                        border.color: row.style.divider
                    }
                    contentItem: ListView {
                        id: routeList
                        objectName: "routeItems"
                        clip: true
                        boundsBehavior: Flickable.StopAtBounds
                        keyNavigationEnabled: true
                        highlightMoveDuration: 0
                        model: row.routeItems
                        ScrollBar.vertical: ScrollBar {
                            policy: routeList.contentHeight > routeList.height ? ScrollBar.AlwaysOn
                                                                               : ScrollBar.AlwaysOff
                        }
                        delegate: ItemDelegate {
                            id: routeItem
                            required property string uid
                            required property string name
                            required property string symbol
                            required property bool routed
                            required property int index
                            width: ListView.view.width
                            height: routeMenu.itemHeight
                            text: name
                            focus: ListView.isCurrentItem
                            focusPolicy: Qt.StrongFocus
                            Accessible.role: Accessible.MenuItem
                            Accessible.checkable: true
                            Accessible.checked: routed
                            Accessible.name: name
                            Accessible.description: (routed ? "Stop playing " : "Play ")
                                                    + row.name + " on " + name
                            ToolTip.visible: hovered && label.truncated
                            ToolTip.delay: 600
                            ToolTip.text: name
                            Keys.onReturnPressed: clicked()
                            Keys.onEnterPressed: clicked()
                            onHoveredChanged: if (hovered) routeList.currentIndex = index
                            onClicked: {
                                routeMenu.close()
                                row.toggleDeviceRequested(uid)
                            }
                            contentItem: RowLayout {
                                spacing: 6
                                Symbol {
                                    symbol: routeItem.routed ? "checkmark.circle.fill" : "circle"
                                    size: 12
                                    color: routeItem.routed ? row.style.orange : row.style.secondary
                                }
                                Symbol {
                                    symbol: routeItem.symbol
                                    size: 12
                                    color: row.style.secondary
                                }
                                Text {
                                    id: label
                                    objectName: "routeItemName"
                                    Layout.fillWidth: true
                                    text: routeItem.name
                                    elide: Text.ElideRight
                                    font.pixelSize: 12
                                    color: row.style.primary
                                }
                            }
                            background: Rectangle {
                                radius: 4
                                color: routeItem.ListView.isCurrentItem && (routeItem.hovered || routeList.activeFocus)
                                       ? Qt.rgba(row.style.orange.r, row.style.orange.g, row.style.orange.b, 0.18)
                                       : "transparent"
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
                value: row.sliderVolume
                level: row.level
                isDisabled: row.isMuted
                accessibleName: "Volume of " + row.name
                onVolumeMoved: value => row.volumeChangeRequested(value)
                Keys.onBacktabPressed: event => event.accepted = !iconButton.enabled
                                                                 && !routeButton.visible
                                                                 && row.tabOut(false)
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
                Keys.onTabPressed: event => event.accepted = row.deviceRows.count === 0
                                                             && row.tabOut(true)
                toolTip: row.isMuted ? "Unmute" : "Mute"
                Accessible.name: (row.isMuted ? "Unmute " : "Mute ") + row.name
                onClicked: row.toggleMuteRequested()
            }
        }

        // Device sub-rows.
        ColumnLayout {
            visible: row.deviceRows.count > 0
            Layout.leftMargin: 12
            Layout.rightMargin: 12
            Layout.bottomMargin: visible ? 12 : 0
            spacing: 2
            Repeater {
                objectName: "deviceRows"
                model: row.deviceRows
                delegate: DeviceVolumeRow {
                    required property int index
                    Layout.fillWidth: true
                    tabOut: index === row.deviceRows.count - 1 ? () => row.tabOut(true) : () => false
                    appName: row.name
                    level: row.deviceLevel(uid)
                    isMuted: row.isMuted
                    onVolumeChangeRequested: value => row.deviceVolumeChangeRequested(uid, value)
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
