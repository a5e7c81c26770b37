#include "ui/MixerViewModel.h"

#include <QFile>
#include <QStringList>
#include <QVariantMap>
#include <algorithm>
#include <cmath>

#include "controls/WindowActivator.h"
#include "engine/AppTapState.h"
#include "engine/AudioDeviceManager.h"
#include "engine/Volume.h"
#include "engine/hal/PropertyReads.h"
#include "model/Lookup.h"
#include "model/PerAppAudioManager.h"
#include "platform/Preferences.h"
#include "platform/PreferencesStore.h"
#include "platform/Workspace.h"

namespace mixelot {

MixerViewModel::MixerViewModel(PerAppAudioManager& perAppAudioManager,
                               AudioDeviceManager& audioDeviceManager,
                               PreferencesStore& preferences, MainQueue& queue, QObject* parent)
    : QObject(parent),
      perAppAudioManager_(perAppAudioManager),
      audioDeviceManager_(audioDeviceManager),
      preferences_(preferences),
      queue_(queue),
      isSandboxed_(QFile::exists(QStringLiteral("/.flatpak-info"))) {}

MixerViewModel::~MixerViewModel() = default;

template <typename T>
void MixerViewModel::assign(T& field, T value, void (MixerViewModel::*signal)()) {
  if (field == value) return;
  field = std::move(value);
  changedSinceSignal_ = true;
  emit(this->*signal)();
}

QVariantList MixerViewModel::appsList() const {
  QVariantList list;
  for (const auto& app : apps_) {
    QStringList routed;
    for (const auto& uid : app.selectedOutputDeviceUIDs) routed << QString::fromStdString(uid);
    QVariantMap perDevice;
    for (const auto& [uid, volume] : app.perDeviceVolumes)
      perDevice.insert(QString::fromStdString(uid), volume);
    list.append(QVariantMap{
        {"id", QString::fromStdString(app.id)},
        {"name", QString::fromStdString(app.name)},
        {"icon", QString::fromStdString(app.icon.value_or(""))},
        {"currentVolume", app.currentVolume},
        {"isMuted", app.isMuted},
        {"selectedOutputDeviceUIDs", routed},
        {"perDeviceVolumes", perDevice},
    });
  }
  return list;
}

QVariantList MixerViewModel::availableOutputDevicesList() const {
  QVariantList list;
  for (const auto& device : availableOutputDevices_)
    list.append(QVariantMap{{"id", QString::fromStdString(device.id)},
                            {"name", QString::fromStdString(device.name)},
                            {"icon", QString::fromStdString(device.icon)}});
  return list;
}

void MixerViewModel::refresh() {
  const bool wasAllMuted = allMuted_;
  const bool wasSystemMuted = systemMuted_;

  assign(apps_, perAppAudioManager_.audioApps().get(), &MixerViewModel::appsChanged);
  assign(deviceSupportsVolume_, audioDeviceManager_.supportsVolume(),
         &MixerViewModel::deviceSupportsVolumeChanged);
  assign(deviceSupportsMute_, deviceSupportsVolume_ && audioDeviceManager_.supportsMute(),
         &MixerViewModel::deviceSupportsMuteChanged);
  if (deviceSupportsVolume_) {
    // The software gain stood in for a device without a volume control; this one has its own,
    // so the gain would only scale every app behind the slider's back.
    if (softwareVolume.exchange(1.0f, std::memory_order_relaxed) != 1.0f)
      perAppAudioManager_.updateChains();
    assign(systemVolume_, audioDeviceManager_.volume(), &MixerViewModel::systemVolumeChanged);
    assign(systemMuted_, audioDeviceManager_.muted(), &MixerViewModel::systemMutedChanged);
  } else {
    float software = softwareVolume.load(std::memory_order_relaxed);
    assign(systemVolume_, software, &MixerViewModel::systemVolumeChanged);
    assign(systemMuted_, software < kMutedVolume, &MixerViewModel::systemMutedChanged);
  }
  assign(allMuted_, perAppAudioManager_.allAppsMuted(), &MixerViewModel::allMutedChanged);
  hal::ObjectID device = audioDeviceManager_.defaultOutputDeviceID();
  assign(outputDeviceName_,
         device == hal::kUnknownObject
             ? QStringLiteral("System")
             : QString::fromStdString(audioDeviceManager_.deviceName(device)),
         &MixerViewModel::outputDeviceNameChanged);
  assign(outputDeviceUID_, QString::fromStdString(audioDeviceManager_.currentDeviceUID()),
         &MixerViewModel::outputDeviceUIDChanged);
  assign(outputDeviceIcon_, QString::fromStdString(audioDeviceManager_.currentDeviceIcon()),
         &MixerViewModel::outputDeviceIconChanged);
  assign(availableOutputDevices_, audioDeviceManager_.availableOutputDevices(),
         &MixerViewModel::availableOutputDevicesChanged);
  // Every time, not only when `apps` changed: a new name or icon leaves the apps equal.
  const auto& manager = perAppAudioManager_;
  appModel_.sync(
      apps_, availableOutputDevices_,
      [&manager](const std::string& id) {
        return lookup(*manager.preMuteVolumes(), id)
            .value_or(lookup(*manager.savedVolumes(), id).value_or(1.0f));
      },
      [this](const std::string& id) {
        return windowActivator_ != nullptr || !canActivateApp || canActivateApp(id);
      });

  if ((allMuted_ != wasAllMuted || systemMuted_ != wasSystemMuted) && onMuteStateChanged)
    onMuteStateChanged();
  if (std::exchange(changedSinceSignal_, false)) emit stateChanged();
}

void MixerViewModel::startRefreshing() {
  refreshTimer_.cancel();
  refresh();
  std::weak_ptr<int> alive = lifetime_;
  // The firing only queues the refresh, so it runs just after the timer callback.
  refreshTimer_ = queue_.schedule(kRefreshInterval, true, [this, alive] {
    queue_.post([this, alive] {
      if (!alive.expired()) refresh();
    });
  });
  emit isRefreshingChanged();
}

void MixerViewModel::stopRefreshTimer() {
  if (!refreshTimer_.isActive()) return;
  refreshTimer_.cancel();
  emit isRefreshingChanged();
}

void MixerViewModel::setLevelSampling(bool on) {
  if (on == levelTimer_.isActive()) return;
  perAppAudioManager_.setLevelMetering(on);
  if (!on) {
    levelTimer_.cancel();
    emit levelsSampled();  // the levels read 0 now
    return;
  }
  std::weak_ptr<int> alive = lifetime_;
  levelTimer_ = queue_.schedule(kLevelSamplingInterval, true, [this, alive] {
    if (alive.expired()) return;
    perAppAudioManager_.sampleLevels();
    emit levelsSampled();
  });
}

float MixerViewModel::appLevel(const QString& bundleID) const {
  return perAppAudioManager_.appLevel(bundleID.toStdString());
}

float MixerViewModel::deviceLevel(const QString& bundleID, const QString& deviceUID) const {
  return perAppAudioManager_.deviceLevel(bundleID.toStdString(), deviceUID.toStdString());
}

bool MixerViewModel::setDefaultOutputDevice(const QString& uid) {
  return audioDeviceManager_.setDefaultOutputDevice(uid.toStdString());
}

bool MixerViewModel::muteAll() {
  bool appsChanged = perAppAudioManager_.muteAll();
  bool deviceChanged = true;
  if (audioDeviceManager_.defaultOutputDeviceID() != hal::kUnknownObject) {
    if (audioDeviceManager_.muted())
      deviceChanged = false;
    else
      audioDeviceManager_.setMuted(true);
  }
  refresh();
  return appsChanged || deviceChanged;
}

void MixerViewModel::setSystemVolume(float volume) {
  // Clamped for every path: the slider, the tray and D-Bus all end here, and the field is what
  // they show.
  const float v = clampVolume(volume);
  if (!deviceSupportsVolume_) {
    // Without an engine nothing would apply the software volume. Away from unity, every app
    // needs a chain to apply it.
    if (playthroughEngine_ && softwareVolume.exchange(v, std::memory_order_relaxed) != v)
      perAppAudioManager_.updateChains();
  } else {
    audioDeviceManager_.setVolume(v);
  }
  assign(systemVolume_, v, &MixerViewModel::systemVolumeChanged);
  if (std::exchange(changedSinceSignal_, false)) emit stateChanged();
}

void MixerViewModel::toggleSystemMute() {
  // What the device did, read back: one without a mute control ignores the request, and the
  // button must not show a mute that nobody hears.
  if (deviceSupportsMute_) {
    audioDeviceManager_.setMuted(!systemMuted_);
    assign(systemMuted_, audioDeviceManager_.muted(), &MixerViewModel::systemMutedChanged);
  }
  if (std::exchange(changedSinceSignal_, false)) emit stateChanged();
}

void MixerViewModel::hideApp(const QString& bundleID) {
  // Read fresh: the settings window may have unhidden apps since we last looked.
  auto hidden = preferences_.stringArray(prefs::kHiddenApps).value_or(std::vector<std::string>{});
  std::string id = bundleID.toStdString();
  if (std::find(hidden.begin(), hidden.end(), id) == hidden.end()) {
    hidden.push_back(id);
    preferences_.set(prefs::kHiddenApps, hidden);
  }
  perAppAudioManager_.refreshApps();
  refresh();
}

void MixerViewModel::setAppVolume(const QString& bundleID, float volume) {
  perAppAudioManager_.setVolume(bundleID.toStdString(), volume);
  refresh();
}

void MixerViewModel::toggleAppMute(const QString& bundleID) {
  perAppAudioManager_.toggleMute(bundleID.toStdString());
  refresh();
}

void MixerViewModel::resetAppVolume(const QString& bundleID) {
  perAppAudioManager_.setVolume(bundleID.toStdString(), 1.0f);
  refresh();
}

void MixerViewModel::toggleDeviceRouting(const QString& bundleID, const QString& deviceUID) {
  perAppAudioManager_.toggleDeviceRouting(bundleID.toStdString(), deviceUID.toStdString());
  refresh();
}

void MixerViewModel::setDeviceVolume(const QString& bundleID, const QString& deviceUID,
                                     float volume) {
  // Refreshed like every other action, so a key press on the sub-slider moves its knob; the
  // sub-rows are keyed by device, so a refresh leaves a slider being dragged alone.
  perAppAudioManager_.setDeviceVolume(bundleID.toStdString(), deviceUID.toStdString(), volume);
  refresh();
}

void MixerViewModel::setPermission(AudioRecordingPermission* permission) {
  permission_ = permission;
  permissionObservation_.reset();
  if (permission_)
    permissionObservation_ = permission_->observeStatus(
        [this](AudioPermissionStatus) { emit showsPermissionBannerChanged(); });
  emit showsPermissionBannerChanged();
}

bool MixerViewModel::showsPermissionBanner() const {
  return permission_ && permission_->status() != AudioPermissionStatus::authorized;
}

void MixerViewModel::openPermissionSettings() {
  if (permission_) permission_->openSystemSettings();
}

void MixerViewModel::activateApp(const QString& bundleID) {
  if (!workspace_) return;
  std::string id = bundleID.toStdString();
  std::vector<pid_t> pids;
  for (const auto& app : workspace_->runningApplications())
    if (app.bundleIdentifier == id) pids.push_back(app.pid);
  if (pids.empty() || (windowActivator_ && windowActivator_->activate(pids))) return;
  workspace_->activate(pids.front());
}

void MixerViewModel::openSettings() {
  if (onOpenSettings) onOpenSettings();
}

void MixerViewModel::quit() {
  if (onQuit) onQuit();
}

}  // namespace mixelot
