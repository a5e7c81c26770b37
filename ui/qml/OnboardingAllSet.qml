import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// The second screen: the success ring and check mark draw themselves, the texts and the tray
// preview rise, then "Start Using mixelot" with a light band sweeping over it.
Item {
    id: screen

    property var viewModel: null
    property Item view: null
    readonly property var vm: viewModel || ({})

    property real ring: screen.vm.circleTrim || 0
    Behavior on ring { EaseOut { duration: 400 } }
    property real check: screen.vm.checkmarkTrim || 0
    Behavior on check { EaseOut { duration: 300 } }
    // Swings between 0.3 and 1 for ever once it starts.
    property real glow: 0.3
    SequentialAnimation on glow {
        running: screen.vm.glowOpacity === 1
        loops: Animation.Infinite
        EaseInOut { from: 0.3; to: 1; duration: 1200 }
        EaseInOut { from: 1; to: 0.3; duration: 1200 }
    }
    property real shimmer: 0
    NumberAnimation on shimmer {
        running: screen.vm.shimmerPhase === 1
        loops: Animation.Infinite
        from: 0
        to: 1
        duration: 2000
    }
    onRingChanged: badge.requestPaint()
    onCheckChanged: badge.requestPaint()

    ColumnLayout {
        anchors.centerIn: parent
        width: parent.width
        spacing: 0

        Item {
            Layout.alignment: Qt.AlignHCenter
            implicitWidth: 100
            implicitHeight: 100

            Rectangle {
                anchors.fill: parent
                radius: 50
                color: screen.view.success
                opacity: screen.glow * 0.3
            }
            // The ring grows clockwise from the top; the check mark follows its path.
            Canvas {
                id: badge
                objectName: "successBadge"
                anchors.centerIn: parent
                width: 72
                height: 72
                onPaint: {
                    const ctx = getContext("2d")
                    ctx.reset()
                    ctx.strokeStyle = screen.view.success
                    ctx.lineWidth = 7
                    ctx.lineCap = "round"
                    ctx.lineJoin = "round"
                    if (screen.ring > 0) {
                        ctx.beginPath()
                        ctx.arc(36, 36, 36 - 3.5, -Math.PI / 2,
                                -Math.PI / 2 + 2 * Math.PI * screen.ring, false)
                        ctx.stroke()
                    }
                    if (screen.check > 0) {
                        // OnboardingCheckmarkShape: (0.22, 0.50) -> (0.42, 0.65) -> (0.75, 0.30).
                        const p = [[0.22 * width, 0.50 * height], [0.42 * width, 0.65 * height],
                                   [0.75 * width, 0.30 * height]]
                        const l1 = Math.hypot(p[1][0] - p[0][0], p[1][1] - p[0][1])
                        const l2 = Math.hypot(p[2][0] - p[1][0], p[2][1] - p[1][1])
                        let left = (l1 + l2) * screen.check
                        ctx.beginPath()
                        ctx.moveTo(p[0][0], p[0][1])
                        const f1 = Math.min(1, left / l1)
                        ctx.lineTo(p[0][0] + (p[1][0] - p[0][0]) * f1, p[0][1] + (p[1][1] - p[0][1]) * f1)
                        left -= l1
                        if (left > 0) {
                            const f2 = Math.min(1, left / l2)
                            ctx.lineTo(p[1][0] + (p[2][0] - p[1][0]) * f2,
                                       p[1][1] + (p[2][1] - p[1][1]) * f2)
                        }
                        ctx.stroke()
                    }
                }
            }
        }

        Label {
            id: headline
            readonly property bool shown: screen.vm.headlineVisible === true
            Layout.alignment: Qt.AlignHCenter
            Layout.topMargin: 24
            text: "You're all set."
            font.pixelSize: 24
            font.bold: true
            color: screen.view.primaryText
            opacity: shown ? 1 : 0
            transform: Translate {
                y: headline.shown ? 0 : 10
                Behavior on y { EaseOut { duration: 400 } }
            }
            Behavior on opacity { EaseOut { duration: 400 } }
        }

        Label {
            id: subtext
            readonly property bool shown: screen.vm.subtextVisible === true
            Layout.alignment: Qt.AlignHCenter
            Layout.topMargin: 8
            text: "Look for the speaker icon in your system tray."
            font.pixelSize: 15
            color: screen.view.secondaryText
            opacity: shown ? 1 : 0
            transform: Translate {
                y: subtext.shown ? 0 : 8
                Behavior on y { EaseOut { duration: 400 } }
            }
            Behavior on opacity { EaseOut { duration: 400 } }
        }

        Rectangle {
            id: preview
            readonly property bool shown: screen.vm.previewVisible === true
            Layout.alignment: Qt.AlignHCenter
            Layout.topMargin: 24
            implicitWidth: previewRow.implicitWidth + 48
            implicitHeight: previewRow.implicitHeight + 28
            radius: 12
            color: screen.view.previewFill
            border.color: screen.view.hairline
            border.width: 1
            opacity: shown ? 1 : 0
            transform: Translate {
                y: preview.shown ? 0 : 8
                Behavior on y { EaseOut { duration: 400 } }
            }
            Behavior on opacity { EaseOut { duration: 400 } }

            Row {
                id: previewRow
                anchors.centerIn: parent
                spacing: 20
                Row {
                    anchors.verticalCenter: parent.verticalCenter
                    spacing: 8
                    Symbol {
                        anchors.verticalCenter: parent.verticalCenter
                        symbol: "speaker.wave.2.fill"
                        size: 16
                        color: "#0A84FF"
                    }
                    Label {
                        anchors.verticalCenter: parent.verticalCenter
                        text: "Active"
                        font.pixelSize: 13
                        font.weight: Font.Medium
                        color: screen.view.primaryText
                    }
                }
                Rectangle {
                    anchors.verticalCenter: parent.verticalCenter
                    width: 1
                    height: 24
                    radius: 1
                    color: screen.view.hairline
                }
                Row {
                    anchors.verticalCenter: parent.verticalCenter
                    spacing: 8
                    Symbol {
                        anchors.verticalCenter: parent.verticalCenter
                        symbol: "speaker.slash.fill"
                        size: 16
                        color: "#FF453A"
                    }
                    Label {
                        anchors.verticalCenter: parent.verticalCenter
                        text: "Muted"
                        font.pixelSize: 13
                        font.weight: Font.Medium
                        color: screen.view.primaryText
                    }
                }
            }
        }

        OnboardingButton {
            id: startUsing
            objectName: "startUsing"
            readonly property bool shown: screen.vm.button2Visible === true
            Layout.alignment: Qt.AlignHCenter
            Layout.topMargin: 28
            text: "Start Using mixelot"
            accent: screen.view.accent
            textSize: 16
            arrowSize: 14
            spacing: 8
            horizontalPadding: 36
            verticalPadding: 14
            shadowOpacity: 0.45
            shadowOffset: 6
            opacity: shown ? 1 : 0
            scale: shown ? 1.0 : 0.88
            Behavior on opacity { EaseInOut { duration: 300 } }
            Behavior on scale { EaseInOut { duration: 300 } }
            onClicked: screen.viewModel.startUsing()

            // The light band, 0.4 of the button wide, from -0.2 to 1.2 of its width; kept to
            // the straight middle of the capsule, where a plain clip matches its shape.
            Item {
                x: startUsing.height / 2
                width: startUsing.width - startUsing.height
                height: startUsing.height
                clip: true
                Rectangle {
                    x: (1.4 * screen.shimmer - 0.2) * startUsing.width - parent.x
                    width: 0.4 * startUsing.width
                    height: parent.height
                    gradient: Gradient {
                        orientation: Gradient.Horizontal
                        GradientStop { position: 0; color: Qt.rgba(1, 1, 1, 0) }
                        GradientStop { position: 0.5; color: Qt.rgba(1, 1, 1, 0.28) }
                        GradientStop { position: 1; color: Qt.rgba(1, 1, 1, 0) }
                    }
                }
            }
        }
    }
}
