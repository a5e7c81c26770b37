import QtQuick
import QtQuick.Layouts

// One routed device under an app row: the app's own volume on that device.
RowLayout {
    id: row

    property string deviceName: ""
    property string deviceIcon: ""
    property string appName: ""
    property real volume: 1.0
    property real level: -1
    property bool isMuted: false
    // The slider's own copy: follows `volume` whenever that changes, muted or not.
    property real localVol: 1.0
    signal volumeChangeRequested(real value)

    readonly property Style style: Style {}

    spacing: 6
    opacity: isMuted ? 0.5 : 1.0
    onVolumeChanged: localVol = volume
    Component.onCompleted: localVol = volume

    Item {
        Layout.preferredWidth: 14
        Layout.preferredHeight: 14
        Symbol {
            anchors.centerIn: parent
            symbol: row.deviceIcon
            size: 9
            color: row.style.secondary
        }
    }
    Text {
        Layout.preferredWidth: 70
        text: row.deviceName
        elide: Text.ElideRight
        font.pixelSize: 10
        color: row.style.secondary
    }
    VolumeSlider {
        id: slider
        objectName: "slider"
        Layout.fillWidth: true
        value: row.localVol
        level: row.level
        isDisabled: row.isMuted
        accessibleName: "Volume of " + row.appName + " on " + row.deviceName
        onVolumeMoved: value => {
            row.localVol = value
            row.volumeChangeRequested(value)
        }
    }
    Text {
        objectName: "percent"
        Layout.preferredWidth: 28
        horizontalAlignment: Text.AlignRight
        text: slider.percentText
        font.pixelSize: 9
        font.weight: Font.Medium
        color: row.style.tertiary
    }
}
