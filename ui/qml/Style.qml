import QtQuick

// The panel's colours: the desktop's palette, with the orange and red accents on top.
QtObject {
    readonly property SystemPalette palette: SystemPalette { colorGroup: SystemPalette.Active }
    readonly property bool isDark: palette.window.hslLightness < 0.5

    readonly property color orange: isDark ? "#ff9f0a" : "#ff9500"
    readonly property color red: isDark ? "#ff453a" : "#ff3b30"
    readonly property color gray: "#8e8e93"
    readonly property color primary: palette.windowText
    readonly property color secondary: Qt.rgba(primary.r, primary.g, primary.b, 0.62)
    readonly property color tertiary: Qt.rgba(primary.r, primary.g, primary.b, 0.38)
    readonly property color background: palette.window
    readonly property color card: Qt.rgba(palette.base.r, palette.base.g, palette.base.b, 0.5)
    readonly property color cardOutline: Qt.rgba(primary.r, primary.g, primary.b, 0.06)
    readonly property color divider: Qt.rgba(primary.r, primary.g, primary.b, 0.12)
}
