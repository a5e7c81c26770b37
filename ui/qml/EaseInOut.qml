import QtQuick

// The ease-in-out curve of the introduction (cubic Bézier 0.42, 0, 0.58, 1).
NumberAnimation {
    easing.type: Easing.BezierSpline
    easing.bezierCurve: [0.42, 0, 0.58, 1, 1, 1]
}
