import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// The first-run card: the welcome screen, then "You're all set." Each element enters when its
// flag of `viewModel` (an OnboardingViewModel) turns on, with the curve of its step.
Item {
    id: root

    property var viewModel: null
    readonly property bool ready: viewModel !== null

    readonly property color cardBackground: "#0D1117"
    readonly property color previewFill: "#161B22"
    readonly property color hairline: "#30363D"
    readonly property color primaryText: "#C9D1D9"
    readonly property color secondaryText: "#8B949E"
    readonly property color accent: "#FF6B35"
    readonly property color success: "#34C759"

    width: 520
    height: 420

    Rectangle {
        id: card
        anchors.fill: parent
        radius: 20
        color: root.cardBackground
        clip: true
        opacity: root.ready && root.viewModel.appeared ? 1 : 0
        Behavior on opacity { EaseOut { duration: 300 } }

        // The card is the window's handle: dragging its background moves the window.
        MouseArea {
            anchors.fill: parent
            onPressed: if (root.Window.window) root.Window.window.startSystemMove()
        }

        OnboardingWelcome {
            id: welcome
            width: root.width
            height: root.height
            viewModel: root.viewModel
            view: root
            x: root.ready && root.viewModel.currentScreen === 0 ? 0 : -root.width
            opacity: root.ready && root.viewModel.currentScreen === 0 ? 1 : 0
            visible: opacity > 0
            Behavior on x { EaseInOut { duration: 400 } }
            Behavior on opacity { EaseInOut { duration: 400 } }
        }

        OnboardingAllSet {
            id: allSet
            width: root.width
            height: root.height
            viewModel: root.viewModel
            view: root
            x: root.ready && root.viewModel.currentScreen === 1 ? 0 : root.width
            opacity: root.ready && root.viewModel.currentScreen === 1 ? 1 : 0
            visible: opacity > 0
            Behavior on x { EaseInOut { duration: 400 } }
            Behavior on opacity { EaseInOut { duration: 400 } }
        }

        // The window has no frame: this is its close button. Closing before "Get Started"
        // leaves the introduction for the next start.
        AbstractButton {
            objectName: "closeButton"
            x: 14
            y: 14
            width: 14
            height: 14
            focusPolicy: Qt.NoFocus
            Accessible.name: "Close"
            onClicked: if (root.Window.window) root.Window.window.close()
            background: Rectangle {
                radius: 7
                color: parent.hovered ? "#FF5F57" : root.hairline
            }
        }
    }
}
