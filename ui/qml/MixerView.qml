import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import QtQuick.Window

// The mixer panel: header, the system card and one row per app, the permission banner and the
// footer. All state comes from `viewModel` (a MixerViewModel) and every control calls it; the
// panel's only own state is each row's slider copy. Escape asks the host to close it.
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

    width: 320
    implicitHeight: column.implicitHeight
    focus: true
    Keys.onEscapePressed: root.closeRequested()

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
            cacheBuffer: 0
            keyNavigationEnabled: false
            model: root.viewModel ? root.viewModel.appModel : null
            ScrollBar.vertical: ScrollBar {
                policy: list.contentHeight + 20 > list.height ? ScrollBar.AlwaysOn
                                                              : ScrollBar.AlwaysOff
            }

            header: Column {
                width: list.width - list.leftMargin - list.rightMargin
                SystemCard {
                    width: parent.width
                    viewModel: root.viewModel
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
                deviceLevels: {
                    const levels = {}
                    if (root.levelGeneration >= 0 && root.canMeter) {
                        for (const device of deviceRows)
                            levels[device.uid] = root.viewModel.deviceLevel(appId, device.uid)
                    }
                    return levels
                }
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
