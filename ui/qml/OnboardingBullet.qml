import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// One bullet of the welcome screen; it rises 8 points into place as it fades in.
RowLayout {
    id: bullet

    property bool shown: false
    property string symbol: ""
    property string text: ""
    property color accent: "#FF6B35"
    property color textColor: "#8B949E"

    Layout.fillWidth: true
    spacing: 14
    opacity: shown ? 1 : 0
    transform: Translate {
        y: bullet.shown ? 0 : 8
        Behavior on y { EaseOut { duration: 350 } }
    }
    Behavior on opacity { EaseOut { duration: 350 } }

    Item {
        Layout.alignment: Qt.AlignTop
        implicitWidth: 24
        implicitHeight: 20
        Symbol {
            anchors.centerIn: parent
            symbol: bullet.symbol
            size: 16
            color: bullet.accent
        }
    }
    Label {
        Layout.fillWidth: true
        text: bullet.text
        wrapMode: Text.WordWrap
        font.pixelSize: 14
        color: bullet.textColor
    }
}
