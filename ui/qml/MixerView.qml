import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import QtQuick.Window

// The mixer panel: header, the system card and one row per app, the permission banner and the
// footer. All state comes from `viewModel` (a MixerViewModel) and every control calls it; the
// panel keeps no state of its own beyond a slider's value while it is dragged. Escape asks the
// host to close it.
//
// The keyboard reaches every control of every row: Tab in order, Up and Down from one control
// to the next (except on the sliders' own arrows), and the list scrolls to the focused control.
Item {
    id: root

    property var viewModel: null
    signal closeRequested()

    readonly property Style style: Style {}
    readonly property int appCount: viewModel ? viewModel.appModel.count : 0
    // The list never grows past this; longer lists scroll.
    readonly property int maximumListHeight: 400

    // Peak meters, where the view model samples levels: while the panel's window is on screen,
    // about 20 times a second, each sample announced by `levelsSampled`.
    readonly property bool canMeter: viewModel !== null && typeof viewModel.appLevel === "function"
    readonly property bool onScreen: Window.window !== null && Window.window.visible
    property int levelGeneration: 0
    // The model is refreshed every 2 s only while the panel is on screen.
    onOnScreenChanged: {
        if (!viewModel)
            return
        if (onScreen)
            viewModel.startRefreshing()
        else
            viewModel.stopRefreshTimer()
        if (canMeter)
            viewModel.setLevelSampling(onScreen)
    }
    Component.onCompleted: if (onScreen) onScreenChanged()
    onViewModelChanged: if (onScreen) onScreenChanged()
    Connections {
        target: root.canMeter ? root.viewModel : null
        ignoreUnknownSignals: true
        function onLevelsSampled() { ++root.levelGeneration }
    }

    // How far down an open routing menu reaches; the panel's window grows to hold it.
    property real menuExtent: 0

    width: 320
    implicitHeight: Math.max(column.implicitHeight, menuExtent)
    focus: true
    Keys.onEscapePressed: root.closeRequested()

    // The list follows the keyboard: a control that takes the focus below or above the visible
    // part is scrolled into view.
    Connections {
        target: root.Window.window
        function onActiveFocusItemChanged() { root.scrollToFocus() }
    }
    function scrollToFocus() {
        const item = root.Window.activeFocusItem
        let inside = item
        while (inside && inside !== list.contentItem)
            inside = inside.parent
        if (!inside)
            return
        const top = item.mapToItem(list.contentItem, 0, 0).y - list.spacing
        const bottom = top + item.height + 2 * list.spacing
        const first = list.originY - list.topMargin
        const last = Math.max(first, list.originY + list.contentHeight + list.bottomMargin - list.height)
        if (top < list.contentY)
            list.contentY = Math.max(first, top)
        else if (bottom > list.contentY + list.height)
            list.contentY = Math.min(last, bottom - list.height)
    }
    // Tab and Backtab go through the rows by their index: left to itself, the focus chain follows
    // the order in which the rows' items were made, and a row made later (scrolled back into
    // view, or new) would come last. Each row hands the keyboard on at its edges through
    // `tabOut`; Up and Down (below) go the same way.
    function rowOf(item) {
        for (let inner = item; inner; inner = inner.parent) {
            if (inner.parent === list.contentItem)
                return inner.appId !== undefined ? inner : null
        }
        return null
    }
    // The row at `index`, brought into view (and so made) if it is not.
    function rowAt(index) {
        if (index < 0 || index >= list.count)
            return null
        let row = list.itemAtIndex(index)
        if (!row) {
            list.positionViewAtIndex(index, ListView.Contain)
            list.forceLayout()
            row = list.itemAtIndex(index)
        }
        return row
    }
    function firstIn(row) {
        const first = row ? row.nextItemInFocusChain(true) : null
        return rowOf(first) === row ? first : null
    }
    function lastIn(row) {
        const first = firstIn(row)
        let last = first
        for (let next = first ? first.nextItemInFocusChain(true) : null;
             next && next !== first && rowOf(next) === row; next = next.nextItemInFocusChain(true))
            last = next
        return last
    }
    // The control after (or before) the focused one, with the rows in their order.
    function focusTarget(focused, forward) {
        const next = focused.nextItemInFocusChain(forward)
        const from = rowOf(focused)
        const to = rowOf(next)
        if (from === null)
            return to === null ? next : forward ? firstIn(rowAt(0)) : lastIn(rowAt(list.count - 1))
        if (to === from)
            return next
        const neighbour = rowAt(from.index + (forward ? 1 : -1))
        if (neighbour)
            return forward ? firstIn(neighbour) : lastIn(neighbour)
        // Out of the last row (or the first): whatever comes after (or before) all the rows.
        let outside = next
        for (let guard = 0; outside && rowOf(outside) !== null && guard < 1000; ++guard)
            outside = outside.nextItemInFocusChain(forward)
        return outside
    }
    function moveFocus(forward) {
        const item = root.Window.activeFocusItem
        const next = item ? root.focusTarget(item, forward) : null
        if (!next || next === item)
            return false
        next.forceActiveFocus(forward ? Qt.TabFocusReason : Qt.BacktabFocusReason)
        return true
    }

    Rectangle {
        anchors.fill: parent
        color: root.style.background
    }

    ColumnLayout {
        id: column
        anchors.left: parent.left
        anchors.right: parent.right
        spacing: 0

        // Header: title and the count badge.
        RowLayout {
            Layout.leftMargin: 14
            Layout.rightMargin: 14
            Layout.topMargin: 10
            Layout.bottomMargin: 10
            spacing: 4
            Symbol {
                symbol: "speaker.wave.2.fill"
                size: 13
                color: root.style.orange
            }
            Text {
                text: "mixelot"
                font.pixelSize: 13
                font.bold: true
                color: root.style.primary
            }
            Item { Layout.fillWidth: true }
            Rectangle {
                objectName: "badge"
                visible: root.appCount > 0
                implicitWidth: badgeText.implicitWidth + 14
                implicitHeight: badgeText.implicitHeight + 6
                radius: height / 2
                color: Qt.rgba(root.style.secondary.r, root.style.secondary.g,
                               root.style.secondary.b, 0.1)
                Accessible.role: Accessible.StaticText
                Accessible.name: root.appCount === 1 ? "1 app" : root.appCount + " apps"
                Text {
                    id: badgeText
                    anchors.centerIn: parent
                    text: root.appCount
                    font.pixelSize: 10
                    font.weight: Font.Medium
                    color: root.style.secondary
                }
            }
        }

        Divider {}

        ListView {
            id: list
            objectName: "appList"
            Layout.fillWidth: true
            Layout.preferredHeight: Math.min(contentHeight + topMargin + bottomMargin,
                                             root.maximumListHeight)
            clip: true
            spacing: 8
            topMargin: 10
            bottomMargin: 10
            leftMargin: 10
            rightMargin: 10
            boundsBehavior: Flickable.StopAtBounds
            // Only the rows in view exist (their state is the model's); the keyboard scrolls the
            // next one into view before it moves there.
            cacheBuffer: 0
            keyNavigationEnabled: false
            model: root.viewModel ? root.viewModel.appModel : null
            Keys.onUpPressed: event => event.accepted = root.moveFocus(false)
            Keys.onDownPressed: event => event.accepted = root.moveFocus(true)
            ScrollBar.vertical: ScrollBar {
                policy: list.contentHeight + 20 > list.height ? ScrollBar.AlwaysOn
                                                              : ScrollBar.AlwaysOff
            }

            header: Column {
                width: list.width - list.leftMargin - list.rightMargin
                SystemCard {
                    width: parent.width
                    viewModel: root.viewModel
                    tabOut: () => root.moveFocus(true)
                    onMenuExtentRequested: bottom => root.menuExtent = bottom
                }
                Item { width: 1; height: list.count > 0 ? list.spacing : 0 }
            }

            footer: Column {
                objectName: "emptyState"
                width: list.width - list.leftMargin - list.rightMargin
                visible: list.count === 0
                height: visible ? implicitHeight : 0
                topPadding: 32
                bottomPadding: 32
                spacing: 8
                Symbol {
                    anchors.horizontalCenter: parent.horizontalCenter
                    symbol: "waveform"
                    size: 32
                    color: root.style.tertiary
                }
                Text {
                    anchors.horizontalCenter: parent.horizontalCenter
                    text: "No apps playing audio"
                    font.pixelSize: 13
                    font.weight: Font.Medium
                    color: root.style.secondary
                }
                Text {
                    anchors.horizontalCenter: parent.horizontalCenter
                    text: "Play audio in any app to control it here"
                    font.pixelSize: 11
                    color: root.style.tertiary
                }
            }

            delegate: AppSliderRow {
                width: ListView.view.width - ListView.view.leftMargin - ListView.view.rightMargin
                availableDeviceCount: root.viewModel ? root.viewModel.availableOutputDevices.length : 0
                level: root.levelGeneration >= 0 && root.canMeter ? root.viewModel.appLevel(appId) : -1
                deviceLevel: uid => root.levelGeneration >= 0 && root.canMeter
                                    ? root.viewModel.deviceLevel(appId, uid) : -1
                required property int index
                tabOut: forward => root.moveFocus(forward)
                onMenuExtentRequested: bottom => root.menuExtent = bottom
                onVolumeChangeRequested: value => root.viewModel.setAppVolume(appId, value)
                onToggleMuteRequested: root.viewModel.toggleAppMute(appId)
                onResetVolumeRequested: root.viewModel.resetAppVolume(appId)
                onHideRequested: root.viewModel.hideApp(appId)
                onToggleDeviceRequested: uid => root.viewModel.toggleDeviceRouting(appId, uid)
                onDeviceVolumeChangeRequested: (uid, value) =>
                    root.viewModel.setDeviceVolume(appId, uid, value)
                onActivateRequested: root.viewModel.activateApp(appId)
            }

            // Rows come in from the top and fade; the others slide to their new places.
            add: Transition {
                NumberAnimation { property: "opacity"; from: 0; to: 1; duration: 200; easing.type: Easing.InOutQuad }
                NumberAnimation { property: "y"; from: 0; duration: 200; easing.type: Easing.InOutQuad }
            }
            remove: Transition {
                NumberAnimation { property: "opacity"; to: 0; duration: 200; easing.type: Easing.InOutQuad }
            }
            displaced: Transition {
                NumberAnimation { properties: "x,y"; duration: 200; easing.type: Easing.InOutQuad }
            }
            move: Transition {
                NumberAnimation { properties: "x,y"; duration: 200; easing.type: Easing.InOutQuad }
            }
        }

        PermissionBanner {
            objectName: "permissionBanner"
            Layout.fillWidth: true
            visible: root.viewModel ? root.viewModel.showsPermissionBanner : false
            isSandboxed: root.viewModel ? root.viewModel.isSandboxed : false
            onOpenRequested: root.viewModel.openPermissionSettings()
        }

        Divider {}

        // Footer: settings and quit.
        RowLayout {
            Layout.leftMargin: 14
            Layout.rightMargin: 14
            Layout.topMargin: 8
            Layout.bottomMargin: 8
            FooterButton {
                objectName: "settingsButton"
                symbol: "gearshape"
                symbolSize: 12
                toolTip: "Settings"
                Keys.onBacktabPressed: event => event.accepted = !root.viewModel.showsPermissionBanner
                                                                 && root.moveFocus(false)
                onClicked: root.viewModel.openSettings()
            }
            Item { Layout.fillWidth: true }
            FooterButton {
                objectName: "quitButton"
                symbol: "power"
                symbolSize: 11
                toolTip: "Quit mixelot"
                onClicked: root.viewModel.quit()
            }
        }
    }
}
