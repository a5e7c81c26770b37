#pragma once

// The program on the simulated audio layer, reachable from QML: the views' tests and the
// screenshots build their scenes with it and read back what the panel's actions did.

#include <QObject>
#include <QStringList>
#include <memory>

#include "AppWorld.h"
#include "engine/PlaythroughEngine.h"
#include "model/PerAppAudioManager.h"
#include "platform/Preferences.h"
#include "ui/MixerViewModel.h"

namespace mixelot::testsupport {

class ViewWorld final : public QObject {
  Q_OBJECT
  Q_PROPERTY(QObject* mixer READ mixer NOTIFY worldReset)
  Q_PROPERTY(int settingsOpened MEMBER settingsOpened_ NOTIFY worldReset)
  Q_PROPERTY(int quits MEMBER quits_ NOTIFY worldReset)

 public:
  ViewWorld() { reset(); }

  QObject* mixer() const { return delegate_->mixerViewModel(); }
  MixerViewModel& model() const { return *delegate_->mixerViewModel(); }

  // A fresh program: Speakers (default) and Headphones, no apps, capture access granted.
  Q_INVOKABLE void reset() {
    delegate_.reset();
    world_ = std::make_unique<AppWorld>();
    delegate_ = world_->launch();
    devices_ = {{QStringLiteral("speakers"), world_->speakers},
                {QStringLiteral("headphones"), world_->headphones}};
    settingsOpened_ = quits_ = 0;
    model().onOpenSettings = [this] { ++settingsOpened_; };
    model().onQuit = [this] { ++quits_; };
    model().refresh();
    emit worldReset();
  }

  // `icon`: an icon file for the app's row, or none.
  Q_INVOKABLE void play(int pid, const QString& id, const QString& name, const QString& icon = {}) {
    world_->play(pid, id.toStdString(), name.toStdString());
    if (!icon.isEmpty()) world_->workspace.applications.back().iconName = icon.toStdString();
    settle();
  }
  Q_INVOKABLE void addDevice(const QString& uid, const QString& name) {
    devices_[uid] = world_->sim.addDevice(
        {.uid = uid.toStdString(), .name = name.toStdString(), .transport = hal::transport::kHDMI});
    settle();
  }
  Q_INVOKABLE void removeDevice(const QString& uid) {
    world_->sim.removeObject(devices_.at(uid));
    settle();
  }
  // "authorized", "denied" or "unknown"; "none" takes the permission away from the model.
  Q_INVOKABLE void setPermission(const QString& status) {
    if (status == QLatin1String("none")) {
      model().setPermission(nullptr);
      return;
    }
    model().setPermission(delegate_->audioPermission());
    world_->permission.status =
        status == QLatin1String("authorized") ? AudioPermissionStatus::authorized
        : status == QLatin1String("denied")   ? AudioPermissionStatus::denied
                                              : AudioPermissionStatus::unknown;
    delegate_->audioPermission()->refreshStatus();
    world_->queue.runUntilIdle();
  }
  Q_INVOKABLE int permissionSettingsOpened() const { return world_->permission.settingsOpened; }
  // Only these apps can be brought to the front (no window activator).
  Q_INVOKABLE void setActivatable(const QStringList& ids) {
    model().canActivateApp = [ids](const std::string& id) {
      return ids.contains(QString::fromStdString(id));
    };
    model().refresh();
  }
  Q_INVOKABLE QList<int> activated() const {
    return {world_->workspace.activated.begin(), world_->workspace.activated.end()};
  }

  Q_INVOKABLE double appVolume(const QString& id) const { return app(id).currentVolume; }
  Q_INVOKABLE bool appMuted(const QString& id) const { return app(id).isMuted; }
  Q_INVOKABLE QStringList routing(const QString& id) const {
    QStringList uids;
    for (const auto& uid : app(id).selectedOutputDeviceUIDs) uids << QString::fromStdString(uid);
    return uids;
  }
  Q_INVOKABLE double deviceVolume(const QString& id, const QString& uid) const {
    const auto& volumes = app(id).perDeviceVolumes;
    auto it = volumes.find(uid.toStdString());
    return it == volumes.end() ? -1.0 : it->second;
  }

  // Changes made behind the panel's back, as another client of the model would.
  Q_INVOKABLE void setVolumeBehindPanel(const QString& id, double volume) {
    delegate_->perAppAudioManager()->setVolume(id.toStdString(), static_cast<float>(volume));
    model().refresh();
  }
  Q_INVOKABLE void toggleMuteBehindPanel(const QString& id) {
    delegate_->perAppAudioManager()->toggleMute(id.toStdString());
    model().refresh();
  }
  Q_INVOKABLE QStringList hiddenApps() const {
    QStringList ids;
    for (const auto& id :
         world_->preferences.stringArray(prefs::kHiddenApps).value_or(std::vector<std::string>{}))
      ids << QString::fromStdString(id);
    return ids;
  }
  // One block at this amplitude through the app's chain on the device, then a sampling tick.
  Q_INVOKABLE void playLevel(const QString& id, const QString& uid, double amplitude) {
    auto chain = delegate_->playthroughEngine()->chain(id.toStdString(), uid.toStdString());
    std::vector<float> in(512, float(amplitude)), out(512);
    hal::AudioBuffer input{2, 2048, in.data()}, output{2, 2048, out.data()};
    world_->sim.runIOCycle(chain->aggregateDeviceID, {&input, 1}, {&output, 1});
    world_->queue.advance(Seconds(0.05));
  }
  Q_INVOKABLE void refresh() { model().refresh(); }
  Q_INVOKABLE void advance(double seconds) {
    world_->queue.advance(Seconds(seconds));
    model().refresh();
  }

 signals:
  void worldReset();

 private:
  const AudioApp& app(const QString& id) const {
    for (const auto& a : delegate_->perAppAudioManager()->audioApps().get())
      if (a.id == id.toStdString()) return a;
    static const AudioApp none;
    return none;
  }
  void settle() {
    world_->queue.runUntilIdle();
    delegate_->perAppAudioManager()->refreshApps();
    world_->queue.runUntilIdle();
    model().refresh();
  }

  std::unique_ptr<AppWorld> world_;
  std::unique_ptr<AppDelegate> delegate_;
  std::map<QString, hal::ObjectID> devices_;
  int settingsOpened_ = 0;
  int quits_ = 0;
};

}  // namespace mixelot::testsupport
