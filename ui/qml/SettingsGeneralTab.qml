import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// General: the default volume, launch at login, the shortcuts and the hidden apps.
ScrollView {
    id: tab

    property var settings: null
    readonly property Style style: Style {}

    contentWidth: availableWidth
    clip: true

    ColumnLayout {
        width: tab.availableWidth - 32
        x: 16
        spacing: 16

        Item { implicitHeight: 4 }

        SettingsSection {
            title: "General"
            Label {
                objectName: "defaultVolumeLabel"
                text: "Default volume for new apps: "
                      + (tab.settings ? tab.settings.defaultVolumePercent : 100) + "%"
                color: tab.style.primary
            }
            Slider {
                objectName: "defaultVolumeSlider"
                Layout.fillWidth: true
                from: 0
                to: 1
                live: true
                value: tab.settings ? tab.settings.defaultVolume : 1
                Accessible.name: "Default volume for new apps"
                onMoved: tab.settings.defaultVolume = value
            }
            Switch {
                id: launchAtLogin
                objectName: "launchAtLogin"
                text: "Launch at login"
                checked: tab.settings ? tab.settings.launchAtLogin : false
                onToggled: {
                    tab.settings.setLaunchAtLogin(checked)
                    // The model has the last word: after a failed change it shows the state
                    // in force.
                    checked = Qt.binding(() => tab.settings.launchAtLogin)
                }
            }
        }

        SettingsSection {
            title: "Mute-All Hotkey"
            ShortcutField {
                objectName: "muteAllShortcut"
                recorder: tab.settings ? tab.settings.muteAllShortcut : null
                caption: "Press this key combination anywhere to mute/unmute all apps."
            }
        }

        SettingsSection {
            title: "Show/Hide Mixer Hotkey"
            ShortcutField {
                objectName: "showHideShortcut"
                recorder: tab.settings ? tab.settings.showHideShortcut : null
                caption: "Press this key combination anywhere to show/hide the mixer."
            }
        }

        SettingsSection {
            id: focusedSection
            objectName: "focusedAppSection"
            title: "Focused App Hotkeys"
            readonly property bool available: tab.settings !== null
                                              && tab.settings.focusedAppShortcutsAvailable
            // Where the desktop keeps the focused window to itself, the fields cannot work.
            Label {
                objectName: "focusedAppUnavailable"
                Layout.fillWidth: true
                visible: !focusedSection.available
                text: "This desktop does not tell other programs which window has the focus, "
                      + "so these shortcuts cannot work here."
                wrapMode: Text.WordWrap
                font.pixelSize: 11
                color: tab.style.red
            }
            ShortcutField {
                objectName: "muteFocusedShortcut"
                enabled: focusedSection.available
                recorder: tab.settings ? tab.settings.muteFocusedShortcut : null
                caption: "Mutes or unmutes the app whose window has the focus."
            }
            ShortcutField {
                objectName: "focusedVolumeUpShortcut"
                enabled: focusedSection.available
                recorder: tab.settings ? tab.settings.focusedVolumeUpShortcut : null
                caption: "Turns the focused app up by 5 %."
            }
            ShortcutField {
                objectName: "focusedVolumeDownShortcut"
                enabled: focusedSection.available
                recorder: tab.settings ? tab.settings.focusedVolumeDownShortcut : null
                caption: "Turns the focused app down by 5 %."
            }
        }

        SettingsSection {
            objectName: "hiddenAppsSection"
            title: "Hidden Apps"
            visible: tab.settings !== null && tab.settings.hiddenAppRows.length > 0

            Repeater {
                model: tab.settings ? tab.settings.hiddenAppRows : []
                delegate: RowLayout {
                    required property var modelData
                    objectName: "hiddenApp"
                    Layout.fillWidth: true
                    ColumnLayout {
                        spacing: 2
                        Label {
                            text: modelData.displayName
                            font.pixelSize: 13
                            color: tab.style.primary
                        }
                        Label {
                            visible: modelData.displayName !== modelData.bundleID
                            text: modelData.bundleID
                            font.pixelSize: 10
                            color: tab.style.tertiary
                        }
                    }
                    Item { Layout.fillWidth: true }
                    Button {
                        text: "Unhide"
                        font.pixelSize: 11
                        onClicked: tab.settings.unhideApp(modelData.bundleID)
                    }
                }
            }
        }

        Item { implicitHeight: 8 }
    }
}
