import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// The mixer panel: header, the system card and one row per app, the permission banner, footer.
// All state comes from `viewModel` (a MixerViewModel); every control calls it.
Item {
    id: root

    property var viewModel: null
    signal closeRequested()

    width: 320
    implicitHeight: column.implicitHeight
    focus: true
    Keys.onEscapePressed: root.closeRequested()

    ColumnLayout {
        id: column
        anchors.left: parent.left
        anchors.right: parent.right
        spacing: 0

        Label {
            Layout.margins: 10
            text: "mixelot"
            font.bold: true
        }
        RowLayout {
            Layout.margins: 8
            ToolButton {
                text: "Settings"
                onClicked: if (root.viewModel) root.viewModel.openSettings()
            }
            Item { Layout.fillWidth: true }
            ToolButton {
                text: "Quit"
                onClicked: if (root.viewModel) root.viewModel.quit()
            }
        }
    }
}
