import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// The welcome screen: the icon drops in, the title and three bullets rise, then "Get Started".
Item {
    id: screen

    property var viewModel: null
    property Item view: null
    readonly property var vm: viewModel || ({})

    // 0...1, swinging for ever once the glow starts pulsing.
    property real pulse: 0
    SequentialAnimation on pulse {
        running: screen.vm.glowPulse === true
        loops: Animation.Infinite
        EaseInOut { from: 0; to: 1; duration: 2000 }
        EaseInOut { from: 1; to: 0; duration: 2000 }
    }

    ColumnLayout {
        anchors.horizontalCenter: parent.horizontalCenter
        y: 16
        width: parent.width
        spacing: 0

        Item {
            id: icon
            Layout.alignment: Qt.AlignHCenter
            implicitWidth: 120
            implicitHeight: 96
            readonly property bool landed: screen.vm.iconLanded === true
            opacity: landed ? 1 : 0
            transform: Translate {
                y: icon.landed ? 0 : -30
                // A spring of response 0.6 s and damping fraction 0.7.
                Behavior on y { SpringAnimation { spring: 1.75; damping: 0.235 } }
            }
            Behavior on opacity { SpringAnimation { spring: 1.75; damping: 0.235 } }

            // The glow: a blurred accent disc, drawn as a radial fade.
            Canvas {
                id: glow
                anchors.centerIn: parent
                width: 168
                height: 168
                opacity: 0.08 + (0.25 - 0.08) * screen.pulse
                onPaint: {
                    const ctx = getContext("2d")
                    ctx.reset()
                    const g = ctx.createRadialGradient(84, 84, 0, 84, 84, 84)
                    g.addColorStop(0, screen.view.accent)
                    g.addColorStop(0.43, screen.view.accent)
                    g.addColorStop(0.71, Qt.rgba(1, 0.42, 0.21, 0.5))
                    g.addColorStop(1, Qt.rgba(1, 0.42, 0.21, 0))
                    ctx.fillStyle = g
                    ctx.fillRect(0, 0, width, height)
                }
            }
            Symbol {
                anchors.centerIn: parent
                symbol: "speaker.wave.2.fill"
                size: 48
                color: screen.view.accent
            }
        }

        Label {
            id: title
            Layout.alignment: Qt.AlignHCenter
            Layout.topMargin: 20
            readonly property bool shown: screen.vm.titleVisible === true
            text: "Welcome to mixelot"
            font.pixelSize: 24
            font.bold: true
            color: screen.view.primaryText
            opacity: shown ? 1 : 0
            transform: Translate {
                y: title.shown ? 0 : 10
                Behavior on y { EaseOut { duration: 400 } }
            }
            Behavior on opacity { EaseOut { duration: 400 } }
        }

        ColumnLayout {
            Layout.fillWidth: true
            Layout.topMargin: 28
            Layout.leftMargin: 60
            Layout.rightMargin: 60
            spacing: 14

            OnboardingBullet {
                shown: screen.vm.bullet1Visible === true
                symbol: "slider.horizontal.3"
                text: "Control the volume of every app independently. Turn down Slack, keep Spotify loud."
                accent: screen.view.accent
                textColor: screen.view.secondaryText
            }
            OnboardingBullet {
                shown: screen.vm.bullet2Visible === true
                symbol: "keyboard"
                text: "Mute all apps instantly with a global keyboard shortcut from anywhere."
                accent: screen.view.accent
                textColor: screen.view.secondaryText
            }
            OnboardingBullet {
                shown: screen.vm.bullet3Visible === true
                symbol: "speaker.wave.2.circle"
                text: "A clean mixer lives in your system tray, always one click away."
                accent: screen.view.accent
                textColor: screen.view.secondaryText
            }
        }
    }

    OnboardingButton {
        id: getStarted
        objectName: "getStarted"
        readonly property bool shown: screen.vm.buttonVisible === true
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 48
        text: "Get Started"
        accent: screen.view.accent
        opacity: shown ? 1 : 0
        scale: shown ? 1.0 + 0.02 * screen.pulse : 0.9
        Behavior on opacity { EaseOut { duration: 300 } }
        Behavior on scale {
            enabled: !screen.vm.glowPulse
            EaseOut { duration: 300 }
        }
        onClicked: screen.viewModel.getStarted()
    }
}
