import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// A shortcut recorder: the button that waits for a key combination, its clear button and caption.
// `recorder` is a ShortcutRecorder.
ColumnLayout {
    id: field

    property var recorder: null
    property string caption: ""
    readonly property Style style: Style {}

    Layout.fillWidth: true
    spacing: 6
    // A field that cannot work here is shown, dimmed, with what it holds.
    opacity: enabled ? 1 : 0.45

    RowLayout {
        spacing: 8
        Button {
            objectName: "recorderButton"
            Layout.minimumWidth: 130
            focusPolicy: Qt.NoFocus
            onClicked: if (field.recorder) field.recorder.toggleRecording()
            Accessible.name: "Shortcut"
            contentItem: Label {
                horizontalAlignment: Text.AlignHCenter
                text: field.recorder ? field.recorder.label : ""
                color: !field.recorder ? field.style.secondary
                     : field.recorder.recording ? field.style.orange
                     : field.recorder.hasShortcut ? field.style.primary : field.style.secondary
            }
        }
        AbstractButton {
            objectName: "clearButton"
            visible: field.recorder !== null && field.recorder.isSet
            focusPolicy: Qt.NoFocus
            Accessible.name: "Clear shortcut"
            onClicked: field.recorder.clear()
            contentItem: Symbol {
                symbol: "xmark.circle.fill"
                size: 14
                color: field.style.secondary
            }
        }
    }
    // What went wrong with the last combination, or what the desktop made of it.
    Label {
        objectName: "problem"
        Layout.fillWidth: true
        visible: text !== ""
        text: field.recorder ? field.recorder.problem : ""
        wrapMode: Text.WordWrap
        font.pixelSize: 11
        color: field.style.red
    }
    Label {
        objectName: "boundDescription"
        Layout.fillWidth: true
        visible: text !== "" && (!field.recorder || field.recorder.problem === "")
        text: field.recorder && field.recorder.boundDescription !== ""
              ? "The desktop bound: " + field.recorder.boundDescription : ""
        wrapMode: Text.WordWrap
        font.pixelSize: 11
        color: field.style.secondary
    }
    Label {
        Layout.fillWidth: true
        text: field.caption
        wrapMode: Text.WordWrap
        font.pixelSize: 11
        color: field.style.secondary
    }
}
