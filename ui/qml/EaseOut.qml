import QtQuick

// The ease-out curve of the introduction's reveals (cubic Bézier 0, 0, 0.58, 1).
NumberAnimation {
    easing.type: Easing.BezierSpline
    easing.bezierCurve: [0, 0, 0.58, 1, 1, 1]
}
