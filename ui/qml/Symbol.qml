import QtQuick
import QtQuick.Controls.impl

// One image of the bundled symbol set, drawn in a single colour: Symbol { symbol: "power" }.
IconImage {
    property string symbol: ""
    property real size: 12

    source: symbol ? "qrc:/icons/" + symbol + ".svg" : ""
    sourceSize: Qt.size(Math.round(size * 1.25), Math.round(size * 1.25))
    width: sourceSize.width
    height: sourceSize.height
    fillMode: Image.PreserveAspectFit
}
