#pragma once

#include <QObject>
#include <QString>
#include <QVariantList>
#include <functional>
#include <string>
#include <vector>

#include "engine/AudioRecordingPermission.h"
#include "engine/OutputDevice.h"
#include "model/AudioApp.h"
#include "platform/MainQueue.h"
#include "ui/AppListModel.h"

namespace mixelot {

class AudioDeviceManager;
class PerAppAudioManager;
class PlaythroughEngine;
class PreferencesStore;
class Workspace;
namespace controls {
class WindowActivator;
}
namespace hal {
class AudioHardware;
}

// The state behind the mixer panel and the tray icon. It does not follow the audio model by
// itself: `refresh` copies the model's state, every 2 s while the panel is on screen and after
// each action taken through it. Every property notifies only on a real change, so a refresh
// that finds nothing new wakes nobody.
//
// The panel actions (setAppVolume, toggleAppMute, ...) live here so that the panel, the tray menu
// and the D-Bus interface act through exactly the same calls.
class MixerViewModel final : public QObject {
  Q_OBJECT
  Q_PROPERTY(QVariantList apps READ appsList NOTIFY appsChanged)
  Q_PROPERTY(float systemVolume READ systemVolume NOTIFY systemVolumeChanged)
  Q_PROPERTY(bool allMuted READ allMuted NOTIFY allMutedChanged)
  Q_PROPERTY(bool systemMuted READ systemMuted NOTIFY systemMutedChanged)
  Q_PROPERTY(QString outputDeviceName READ outputDeviceName NOTIFY outputDeviceNameChanged)
  // The default output's UID, to mark it in the output list.
  Q_PROPERTY(QString outputDeviceUID READ outputDeviceUID NOTIFY outputDeviceUIDChanged)
  Q_PROPERTY(QString outputDeviceIcon READ outputDeviceIcon NOTIFY outputDeviceIconChanged)
  Q_PROPERTY(bool deviceSupportsVolume READ deviceSupportsVolume NOTIFY deviceSupportsVolumeChanged)
  // The system mute button can act: the default device has volume and mute controls. Without a
  // volume control the software gain stands in and reads as muted at 0; the button is off then.
  Q_PROPERTY(bool deviceSupportsMute READ deviceSupportsMute NOTIFY deviceSupportsMuteChanged)
  Q_PROPERTY(QVariantList availableOutputDevices READ availableOutputDevicesList NOTIFY
                 availableOutputDevicesChanged)
  Q_PROPERTY(bool isRefreshing READ isRefreshing NOTIFY isRefreshingChanged)
  // The apps as a list model for the panel's rows (kept in step with `apps`).
  Q_PROPERTY(AppListModel* appModel READ appModel CONSTANT)
  // A capture permission is known and it is not granted.
  Q_PROPERTY(
      bool showsPermissionBanner READ showsPermissionBanner NOTIFY showsPermissionBannerChanged)
  // Running inside a Flatpak sandbox: the banner tells how access is granted there.
  Q_PROPERTY(bool isSandboxed READ isSandboxed CONSTANT)

 public:
  static constexpr Seconds kRefreshInterval{2.0};
  // The level meters are sampled about 20 times a second: smooth to the eye, and each sample is
  // the peak of the whole period, so no peak between two samples is missed.
  static constexpr Seconds kLevelSamplingInterval{0.05};
  // Below this, the software volume counts as muted.
  static constexpr float kMutedVolume = 0.001f;

  MixerViewModel(PerAppAudioManager& perAppAudioManager, AudioDeviceManager& audioDeviceManager,
                 PreferencesStore& preferences, MainQueue& queue, QObject* parent = nullptr);
  ~MixerViewModel() override;

  const std::vector<AudioApp>& apps() const { return apps_; }
  const std::vector<OutputDevice>& availableOutputDevices() const {
    return availableOutputDevices_;
  }
  QVariantList appsList() const;
  QVariantList availableOutputDevicesList() const;
  float systemVolume() const { return systemVolume_; }
  bool allMuted() const { return allMuted_; }
  bool systemMuted() const { return systemMuted_; }
  QString outputDeviceName() const { return outputDeviceName_; }
  QString outputDeviceUID() const { return outputDeviceUID_; }
  QString outputDeviceIcon() const { return outputDeviceIcon_; }
  bool deviceSupportsVolume() const { return deviceSupportsVolume_; }
  bool deviceSupportsMute() const { return deviceSupportsMute_; }
  bool isRefreshing() const { return refreshTimer_.isActive(); }
  AppListModel* appModel() { return &appModel_; }
  bool showsPermissionBanner() const;
  bool isSandboxed() const { return isSandboxed_; }
  void setSandboxed(bool sandboxed) { isSandboxed_ = sandboxed; }

  // Set once by the program after creation.
  void setPlaythroughEngine(PlaythroughEngine* engine) { playthroughEngine_ = engine; }
  void setPermission(AudioRecordingPermission* permission);
  // For the row's icon button, which brings the app to the front.
  void setWorkspace(Workspace* workspace) { workspace_ = workspace; }
  // Raises an app's own window where the desktop lets us (X11); optional.
  void setWindowActivator(controls::WindowActivator* activator) { windowActivator_ = activator; }
  AudioRecordingPermission* permission() const { return permission_; }
  PerAppAudioManager& perAppAudioManager() const { return perAppAudioManager_; }
  // Called after a refresh changed allMuted or systemMuted (the tray icon follows).
  std::function<void()> onMuteStateChanged;
  // Whether the workspace can bring an app to the front where no window activator can (a
  // D-Bus-activatable app); the row offers the action only then. Empty: assumed it can.
  std::function<bool(const std::string& appId)> canActivateApp;
  // The panel's gear and quit buttons; set by the program (either may stay empty).
  std::function<void()> onOpenSettings;
  std::function<void()> onQuit;

  Q_INVOKABLE void refresh();
  Q_INVOKABLE void startRefreshing();
  Q_INVOKABLE void stopRefreshTimer();
  // Mutes every application and the output device; true when anything changed.
  Q_INVOKABLE bool muteAll();
  Q_INVOKABLE void setSystemVolume(float volume);
  // The output list's choice: `uid` becomes the system's default output; the apps that follow
  // the default move once the system reports the change. False for a device not listed.
  Q_INVOKABLE bool setDefaultOutputDevice(const QString& uid);
  Q_INVOKABLE void toggleSystemMute();
  Q_INVOKABLE void hideApp(const QString& bundleID);

  // Panel actions on one application.
  Q_INVOKABLE void setAppVolume(const QString& bundleID, float volume);
  Q_INVOKABLE void toggleAppMute(const QString& bundleID);
  Q_INVOKABLE void resetAppVolume(const QString& bundleID);
  Q_INVOKABLE void toggleDeviceRouting(const QString& bundleID, const QString& deviceUID);
  Q_INVOKABLE void setDeviceVolume(const QString& bundleID, const QString& deviceUID, float volume);

  Q_INVOKABLE void openSettings();
  Q_INVOKABLE void quit();
  // The banner's button: whatever can grant the capture permission.
  Q_INVOKABLE void openPermissionSettings();
  // Brings the app to the front: its topmost window, where a window activator finds one among
  // the app's processes, else whatever the workspace can do for its first running process.
  Q_INVOKABLE void activateApp(const QString& bundleID);

  // Level meters: the peak an app played (over all its devices), or played on one device, during
  // the last sampling period; 0...1, 0 while sampling is off.
  Q_INVOKABLE float appLevel(const QString& bundleID) const;
  Q_INVOKABLE float deviceLevel(const QString& bundleID, const QString& deviceUID) const;
  // While on (the panel is on screen), the chains record their peaks and the levels are sampled
  // every kLevelSamplingInterval, each sample announced by levelsSampled(). Off, the chains stop
  // recording and the levels read 0.
  Q_INVOKABLE void setLevelSampling(bool on);
  bool isLevelSampling() const { return levelTimer_.isActive(); }

 signals:
  void appsChanged();
  void systemVolumeChanged();
  void allMutedChanged();
  void systemMutedChanged();
  void outputDeviceNameChanged();
  void outputDeviceIconChanged();
  void outputDeviceUIDChanged();
  void deviceSupportsVolumeChanged();
  void deviceSupportsMuteChanged();
  void availableOutputDevicesChanged();
  void isRefreshingChanged();
  void showsPermissionBannerChanged();
  // After any refresh or action that changed something a client may show.
  void stateChanged();
  // After each sample of the level meters.
  void levelsSampled();

 private:
  // The output device's own mute: true only when it is known and reads as non-zero.
  template <typename T>
  void assign(T& field, T value, void (MixerViewModel::*signal)());

  PerAppAudioManager& perAppAudioManager_;
  AudioDeviceManager& audioDeviceManager_;
  PreferencesStore& preferences_;
  MainQueue& queue_;
  PlaythroughEngine* playthroughEngine_ = nullptr;
  AudioRecordingPermission* permission_ = nullptr;
  AudioRecordingPermission::Observation permissionObservation_;
  Workspace* workspace_ = nullptr;
  controls::WindowActivator* windowActivator_ = nullptr;
  bool isSandboxed_ = false;
  AppListModel appModel_;

  std::vector<AudioApp> apps_;
  float systemVolume_ = 1.0f;
  bool allMuted_ = false;
  bool systemMuted_ = false;
  QString outputDeviceName_ = QStringLiteral("System");
  QString outputDeviceUID_;
  QString outputDeviceIcon_ = QStringLiteral("desktopcomputer");
  bool deviceSupportsVolume_ = true;
  bool deviceSupportsMute_ = true;
  std::vector<OutputDevice> availableOutputDevices_;
  Timer refreshTimer_;
  Timer levelTimer_;
  bool changedSinceSignal_ = false;
  std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

}  // namespace mixelot
