import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// The settings window's content: the tab bar, then General, About or the catalogue.
// `settings` is the SettingsViewModel, `updater` the update controller, `about` the AboutInfo.
Item {
    id: root

    property var settings: null
    property var updater: null
    property var about: null
    property int selectedTab: 0

    readonly property Style style: Style {}
    readonly property var tabs: [
        { id: 0, label: "General", icon: "gear" },
        { id: 1, label: "About", icon: "info.circle" },
        { id: 2, label: "More Corvana", icon: "square.grid.2x2" }
    ]

    width: 450
    height: 520

    // The controls take the desktop's palette from here, as the texts do from the style, so
    // that a palette changed while we run (light to dark) reaches both alike.
    Pane {
        anchors.fill: parent
        padding: 0
        palette.window: root.style.palette.window
        palette.windowText: root.style.palette.windowText
        palette.base: root.style.palette.base
        palette.alternateBase: root.style.palette.alternateBase
        palette.text: root.style.palette.text
        palette.button: root.style.palette.button
        palette.buttonText: root.style.palette.buttonText
        palette.highlight: root.style.palette.highlight
        palette.highlightedText: root.style.palette.highlightedText
        palette.light: root.style.palette.light
        palette.midlight: root.style.palette.midlight
        palette.mid: root.style.palette.mid
        palette.dark: root.style.palette.dark
        palette.shadow: root.style.palette.shadow
        background: Rectangle { color: root.style.background }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        RowLayout {
            objectName: "tabBar"
            Layout.fillWidth: true
            Layout.leftMargin: 12
            Layout.rightMargin: 12
            Layout.topMargin: 8
            Layout.bottomMargin: 8
            spacing: 2

            Repeater {
                model: root.tabs
                delegate: AbstractButton {
                    id: tabButton
                    required property var modelData
                    readonly property bool selected: root.selectedTab === modelData.id
                    objectName: "tab" + modelData.id
                    // Equal shares of the row, whatever the labels' lengths.
                    Layout.fillWidth: true
                    Layout.preferredWidth: 1
                    topPadding: 6
                    bottomPadding: 6
                    focusPolicy: Qt.NoFocus
                    Accessible.name: modelData.label
                    onClicked: root.selectedTab = modelData.id

                    background: Rectangle {
                        radius: 6
                        // The panel's accent, in light and dark alike (the palette's highlight
                        // is blue in one and orange in the other on many desktops).
                        color: tabButton.selected ? root.style.orange : "transparent"
                    }
                    contentItem: ColumnLayout {
                        spacing: 2
                        Item {
                            Layout.fillWidth: true
                            implicitHeight: 22
                            Symbol {
                                anchors.centerIn: parent
                                symbol: tabButton.modelData.icon
                                size: 18
                                color: tabButton.selected ? "white" : root.style.secondary
                            }
                        }
                        Label {
                            Layout.alignment: Qt.AlignHCenter
                            text: tabButton.modelData.label
                            font.pixelSize: 10
                            color: tabButton.selected ? "white" : root.style.secondary
                        }
                    }
                }
            }
        }

        Divider {}

        Loader {
            Layout.fillWidth: true
            Layout.fillHeight: true
            sourceComponent: root.selectedTab === 1 ? aboutTab
                           : root.selectedTab === 2 ? catalogueTab : generalTab
        }
    }
    }

    Component {
        id: generalTab
        SettingsGeneralTab { objectName: "generalTab"; settings: root.settings }
    }
    Component {
        id: aboutTab
        SettingsAboutTab { updater: root.updater; about: root.about }
    }
    Component {
        id: catalogueTab
        SettingsCatalogueTab { about: root.about }
    }
}
