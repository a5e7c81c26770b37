#include "app/MixerBusInterface.h"

#include <QDBusMetaType>
#include <cmath>

#include "app/AppDelegate.h"
#include "engine/AudioDeviceManager.h"
#include "engine/hal/PropertyReads.h"
#include "model/PerAppAudioManager.h"
#include "ui/MixerViewModel.h"
#include "ui/SettingsViewModel.h"

namespace mixelot {

QDBusArgument& operator<<(QDBusArgument& argument, const BusApp& app) {
  argument.beginStructure();
  argument << app.id << app.name << app.currentVolume << app.isMuted
           << app.selectedOutputDeviceUIDs;
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, BusApp& app) {
  argument.beginStructure();
  argument >> app.id >> app.name >> app.currentVolume >> app.isMuted >>
      app.selectedOutputDeviceUIDs;
  argument.endStructure();
  return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const BusDevice& device) {
  argument.beginStructure();
  argument << device.uid << device.name << device.icon;
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, BusDevice& device) {
  argument.beginStructure();
  argument >> device.uid >> device.name >> device.icon;
  argument.endStructure();
  return argument;
}

namespace {

// D-Bus carries doubles; the model works in 32-bit floats. A NaN stays NaN (the model maps it to
// 0), and huge values saturate rather than overflow the conversion.
float toVolume(double volume) {
  if (std::isnan(volume)) return std::nanf("");
  return static_cast<float>(std::clamp(volume, -1.0, 2.0));
}

}  // namespace

MixerBusInterface::MixerBusInterface(QObject* host, AppDelegate& delegate)
    : QDBusAbstractAdaptor(host), delegate_(delegate) {
  setAutoRelaySignals(false);
  connect(&mixer(), &MixerViewModel::stateChanged, this, &MixerBusInterface::Changed);
}

void MixerBusInterface::registerTypes() {
  qDBusRegisterMetaType<BusApp>();
  qDBusRegisterMetaType<QList<BusApp>>();
  qDBusRegisterMetaType<BusDevice>();
  qDBusRegisterMetaType<QList<BusDevice>>();
}

bool MixerBusInterface::panelShown() {
  return mixer().isRefreshing();
}

MixerViewModel& MixerBusInterface::mixer() {
  return *delegate_.mixerViewModel();
}

QList<BusApp> MixerBusInterface::ListApps() {
  mixer().refresh();
  QList<BusApp> apps;
  for (const auto& app : mixer().apps()) {
    BusApp row{QString::fromStdString(app.id),
               QString::fromStdString(app.name),
               app.currentVolume,
               app.isMuted,
               {}};
    for (const auto& uid : app.selectedOutputDeviceUIDs)
      row.selectedOutputDeviceUIDs << QString::fromStdString(uid);
    apps << row;
  }
  return apps;
}

QList<BusDevice> MixerBusInterface::ListDevices() {
  mixer().refresh();
  QList<BusDevice> devices;
  for (const auto& device : mixer().availableOutputDevices())
    devices << BusDevice{QString::fromStdString(device.id), QString::fromStdString(device.name),
                         QString::fromStdString(device.icon)};
  return devices;
}

QString MixerBusInterface::DefaultDevice() {
  return QString::fromStdString(delegate_.defaultDeviceUID());
}

void MixerBusInterface::SetVolume(const QString& id, double volume) {
  mixer().setAppVolume(id, toVolume(volume));
}
void MixerBusInterface::ToggleMute(const QString& id) {
  mixer().toggleAppMute(id);
}
void MixerBusInterface::ResetVolume(const QString& id) {
  mixer().resetAppVolume(id);
}
void MixerBusInterface::ToggleDeviceRouting(const QString& id, const QString& uid) {
  mixer().toggleDeviceRouting(id, uid);
}
void MixerBusInterface::SetDeviceVolume(const QString& id, const QString& uid, double volume) {
  mixer().setDeviceVolume(id, uid, toVolume(volume));
}
void MixerBusInterface::HideApp(const QString& id) {
  mixer().hideApp(id);
}
void MixerBusInterface::UnhideApp(const QString& id) {
  delegate_.settingsViewModel()->unhideApp(id);
  delegate_.perAppAudioManager()->refreshApps();
  mixer().refresh();
}
void MixerBusInterface::SetSystemVolume(double volume) {
  mixer().setSystemVolume(toVolume(volume));
}
void MixerBusInterface::SetDefaultDevice(const QString& uid) {
  mixer().setDefaultOutputDevice(uid);
}
void MixerBusInterface::ToggleSystemMute() {
  mixer().toggleSystemMute();
}
void MixerBusInterface::ToggleMuteAll() {
  delegate_.toggleMuteAll();
}
void MixerBusInterface::ToggleMuteFocused() {
  delegate_.toggleMuteFocused();
}
void MixerBusInterface::ChangeFocusedVolume(double delta) {
  // A step larger than the whole range is the whole range.
  delegate_.changeFocusedVolume(
      std::isnan(delta) ? std::nanf("") : static_cast<float>(std::clamp(delta, -1.0, 1.0)));
}
void MixerBusInterface::TogglePanel() {
  delegate_.togglePopover();
}

void MixerBusInterface::OpenSettings() {
  delegate_.openSettings();
}

}  // namespace mixelot
