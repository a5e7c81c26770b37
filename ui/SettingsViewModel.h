#pragma once

#include <QObject>
#include <QStringList>
#include <QVariantList>
#include <vector>

#include "ui/ShortcutRecorder.h"

namespace mixelot {

class AudioDeviceManager;
class LoginItem;
class PreferencesStore;
class Workspace;

// The state behind the settings window: the volume new applications start at, launch at login,
// the hidden applications, and the shortcut recorders (which read and write their stored
// preferences themselves). Loaded at creation and again each time the window is shown; every
// property notifies only on a real change.
class SettingsViewModel final : public QObject {
  Q_OBJECT
  Q_PROPERTY(
      float defaultVolume READ defaultVolume WRITE setDefaultVolume NOTIFY defaultVolumeChanged)
  Q_PROPERTY(
      bool launchAtLogin READ launchAtLogin WRITE setLaunchAtLogin NOTIFY launchAtLoginChanged)
  // The default volume as the window shows it: a percentage truncated to a whole number.
  Q_PROPERTY(int defaultVolumePercent READ defaultVolumePercent NOTIFY defaultVolumeChanged)
  Q_PROPERTY(QStringList hiddenApps READ hiddenApps NOTIFY hiddenAppsChanged)
  // One map per hidden app, in list order: bundleID, displayName.
  Q_PROPERTY(QVariantList hiddenAppRows READ hiddenAppRows NOTIFY hiddenAppsChanged)
  Q_PROPERTY(ShortcutRecorder* muteAllShortcut READ muteAllShortcut CONSTANT)
  Q_PROPERTY(ShortcutRecorder* showHideShortcut READ showHideShortcut CONSTANT)
  Q_PROPERTY(ShortcutRecorder* muteFocusedShortcut READ muteFocusedShortcut CONSTANT)
  Q_PROPERTY(ShortcutRecorder* focusedVolumeUpShortcut READ focusedVolumeUpShortcut CONSTANT)
  Q_PROPERTY(ShortcutRecorder* focusedVolumeDownShortcut READ focusedVolumeDownShortcut CONSTANT)
  // Whether the desktop tells which window has the focus; the focused app's shortcuts are off
  // without it.
  Q_PROPERTY(bool focusedAppShortcutsAvailable READ focusedAppShortcutsAvailable NOTIFY
                 focusedAppShortcutsAvailableChanged)
  Q_PROPERTY(QString selectedOutputDeviceID READ selectedOutputDeviceID NOTIFY
                 selectedOutputDeviceIDChanged)

 public:
  SettingsViewModel(AudioDeviceManager& audioDeviceManager, PreferencesStore& store,
                    LoginItem& loginItem, const Workspace& workspace, QObject* parent = nullptr);

  float defaultVolume() const { return defaultVolume_; }
  int defaultVolumePercent() const;
  bool launchAtLogin() const { return launchAtLogin_; }
  QStringList hiddenApps() const { return hiddenApps_; }
  QVariantList hiddenAppRows() const;
  ShortcutRecorder* muteAllShortcut() { return &muteAllShortcut_; }
  ShortcutRecorder* showHideShortcut() { return &showHideShortcut_; }
  ShortcutRecorder* muteFocusedShortcut() { return &muteFocusedShortcut_; }
  ShortcutRecorder* focusedVolumeUpShortcut() { return &focusedVolumeUpShortcut_; }
  ShortcutRecorder* focusedVolumeDownShortcut() { return &focusedVolumeDownShortcut_; }
  // Every recorder, in the window's order, which is the order of the hotkey ids.
  std::vector<ShortcutRecorder*> shortcuts();
  bool focusedAppShortcutsAvailable() const { return focusedAppShortcutsAvailable_; }
  void setFocusedAppShortcutsAvailable(bool available);
  QString selectedOutputDeviceID() const { return selectedOutputDeviceID_; }

  // Sets the field and stores "defaultVolume" (clamped to 0...1), as the settings slider does on
  // every change.
  void setDefaultVolume(float volume);
  // Registers or unregisters the login item; after a failure the field (and the stored value)
  // follow the state actually in force.
  Q_INVOKABLE void setLaunchAtLogin(bool enabled);
  // Removes every occurrence of the id and stores the list. The list is re-read from the store
  // first: applications hidden from the panel since launch were added to the store only, and
  // must not be dropped here.
  Q_INVOKABLE void unhideApp(const QString& bundleID);
  // Reads "launchAtLogin" again: the launch brings it to the state in force after this model
  // loaded it.
  void reloadLaunchAtLogin();

  // The window came on screen: launch at login follows the login item's real state, and the
  // hidden apps and shortcuts are read again (the panel and the launch write them meanwhile).
  Q_INVOKABLE void windowShown();
  // The window left the screen: no recorder keeps waiting for a key.
  Q_INVOKABLE void stopRecording();

  // How a hidden app is named: the running app's name, else the installed entry's, else the id.
  QString displayName(const QString& bundleID) const;

  AudioDeviceManager& audioDeviceManager() const { return audioDeviceManager_; }

 signals:
  void defaultVolumeChanged();
  void launchAtLoginChanged();
  void hiddenAppsChanged();
  void selectedOutputDeviceIDChanged();
  void focusedAppShortcutsAvailableChanged();

 private:
  void assignLaunchAtLogin(bool value);
  void assignHiddenApps(const QStringList& list, bool notifyUnchanged);
  void recordingChanged(ShortcutRecorder& recorder);

  AudioDeviceManager& audioDeviceManager_;
  PreferencesStore& store_;
  LoginItem& loginItem_;
  const Workspace& workspace_;
  float defaultVolume_ = 1.0f;
  bool launchAtLogin_ = true;
  QStringList hiddenApps_;
  QStringList hiddenAppNames_;
  QString selectedOutputDeviceID_ = QStringLiteral("default");
  ShortcutRecorder muteAllShortcut_;
  ShortcutRecorder showHideShortcut_;
  ShortcutRecorder muteFocusedShortcut_;
  ShortcutRecorder focusedVolumeUpShortcut_;
  ShortcutRecorder focusedVolumeDownShortcut_;
  bool focusedAppShortcutsAvailable_ = true;
};

}  // namespace mixelot
