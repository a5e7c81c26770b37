import QtQuick
import QtQuick.Layouts

// One routed device under an app row: the app's own volume on that device.
RowLayout {
    id: row

    // One entry of the app row's device list.
    required property string uid
    required property string name
    required property string symbol
    required property real volume
    property string appName: ""
    property real level: -1
    property bool isMuted: false
    // Hands Tab on from the slider; true when it did.
    property var tabOut: () => false
    signal volumeChangeRequested(real value)

    readonly property Style style: Style {}

    spacing: 6
    opacity: isMuted ? 0.5 : 1.0

    Item {
        Layout.preferredWidth: 14
        Layout.preferredHeight: 14
        Symbol {
            anchors.centerIn: parent
            symbol: row.symbol
            size: 9
            color: row.style.secondary
        }
    }
    Text {
        Layout.preferredWidth: 70
        text: row.name
        elide: Text.ElideRight
        font.pixelSize: 10
        color: row.style.secondary
    }
    VolumeSlider {
        id: slider
        objectName: "slider"
        Layout.fillWidth: true
        value: row.volume
        level: row.level
        isDisabled: row.isMuted
        accessibleName: "Volume of " + row.appName + " on " + row.name
        onVolumeMoved: value => row.volumeChangeRequested(value)
        Keys.onTabPressed: event => event.accepted = row.tabOut()
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
