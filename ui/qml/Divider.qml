import QtQuick
import QtQuick.Layouts

Rectangle {
    readonly property Style style: Style {}
    Layout.fillWidth: true
    implicitHeight: 1
    color: style.divider
}
