import QtQml.Models

// The maker's other applications, as the catalogue tab lists them. `path` is appended to the
// maker's address.
ListModel {
    ListElement {
        name: "Clipstack"
        symbol: "square.grid.2x2"
        summary: "Clipboard history at your fingertips: search, pin and paste what you copied."
        path: "/clipstack"
    }
    ListElement {
        name: "Dimmer"
        symbol: "desktopcomputer"
        summary: "The brightness of every display from the tray, external monitors included."
        path: "/dimmer"
    }
    ListElement {
        name: "Focusbar"
        symbol: "keyboard"
        summary: "A quiet timer for deep work that keeps notifications away until you are done."
        path: "/focusbar"
    }
}
