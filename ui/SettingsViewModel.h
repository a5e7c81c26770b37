#pragma once

#include <QObject>
#include <QStringList>

namespace mixelot {

class AudioDeviceManager;
class LoginItem;
class PreferencesStore;

// The state behind the settings window for the settings that are not hotkeys: the volume new
// applications start at, launch at login, and the hidden applications. Loaded once at creation;
// every property notifies only on a real change.
class SettingsViewModel final : public QObject {
  Q_OBJECT
  Q_PROPERTY(
      float defaultVolume READ defaultVolume WRITE setDefaultVolume NOTIFY defaultVolumeChanged)
  Q_PROPERTY(
      bool launchAtLogin READ launchAtLogin WRITE setLaunchAtLogin NOTIFY launchAtLoginChanged)
  Q_PROPERTY(QStringList hiddenApps READ hiddenApps NOTIFY hiddenAppsChanged)
  Q_PROPERTY(QString selectedOutputDeviceID READ selectedOutputDeviceID NOTIFY
                 selectedOutputDeviceIDChanged)

 public:
  SettingsViewModel(AudioDeviceManager& audioDeviceManager, PreferencesStore& store,
                    LoginItem& loginItem, QObject* parent = nullptr);

  float defaultVolume() const { return defaultVolume_; }
  bool launchAtLogin() const { return launchAtLogin_; }
  QStringList hiddenApps() const { return hiddenApps_; }
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

  AudioDeviceManager& audioDeviceManager() const { return audioDeviceManager_; }

 signals:
  void defaultVolumeChanged();
  void launchAtLoginChanged();
  void hiddenAppsChanged();
  void selectedOutputDeviceIDChanged();

 private:
  void assignLaunchAtLogin(bool value);

  AudioDeviceManager& audioDeviceManager_;
  PreferencesStore& store_;
  LoginItem& loginItem_;
  float defaultVolume_ = 1.0f;
  bool launchAtLogin_ = true;
  QStringList hiddenApps_;
  QString selectedOutputDeviceID_ = QStringLiteral("default");
};

}  // namespace mixelot
