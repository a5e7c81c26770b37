#include "ui/SettingsViewModel.h"

#include <cmath>

#include "app/Preferences.h"
#include "platform/LoginItem.h"
#include "platform/PreferencesStore.h"

namespace mixelot {
namespace {

QStringList toQt(const std::vector<std::string>& list) {
  QStringList out;
  for (const auto& item : list) out << QString::fromStdString(item);
  return out;
}

std::vector<std::string> fromQt(const QStringList& list) {
  std::vector<std::string> out;
  for (const auto& item : list) out.push_back(item.toStdString());
  return out;
}

}  // namespace

SettingsViewModel::SettingsViewModel(AudioDeviceManager& audioDeviceManager,
                                     PreferencesStore& store, LoginItem& loginItem, QObject* parent)
    : QObject(parent),
      audioDeviceManager_(audioDeviceManager),
      store_(store),
      loginItem_(loginItem) {
  float stored = store_.floatValue(prefs::kDefaultVolume);
  // 0 or less (or a value of the wrong type, which reads as 0) means "never set".
  defaultVolume_ = stored > 0.0f && !std::isnan(stored) ? std::min(stored, 1.0f) : 1.0f;
  launchAtLogin_ = store_.boolValue(prefs::kLaunchAtLogin);
  hiddenApps_ = toQt(store_.stringArray(prefs::kHiddenApps).value_or(std::vector<std::string>{}));
  selectedOutputDeviceID_ =
      QString::fromStdString(store_.stringValue(prefs::kSelectedOutputDevice).value_or("default"));
}

void SettingsViewModel::setDefaultVolume(float volume) {
  float clamped = std::isnan(volume) ? 0.0f : std::clamp(volume, 0.0f, 1.0f);
  store_.set(prefs::kDefaultVolume, clamped);
  if (clamped == defaultVolume_) return;
  defaultVolume_ = clamped;
  emit defaultVolumeChanged();
}

void SettingsViewModel::assignLaunchAtLogin(bool value) {
  if (value == launchAtLogin_) return;
  launchAtLogin_ = value;
  emit launchAtLoginChanged();
}

void SettingsViewModel::setLaunchAtLogin(bool enabled) {
  assignLaunchAtLogin(enabled);
  std::string error;
  bool ok = enabled ? loginItem_.registerItem(error) : loginItem_.unregisterItem(error);
  if (ok) {
    store_.set(prefs::kLaunchAtLogin, enabled);
    return;
  }
  bool inForce = loginItem_.status() == LoginItem::Status::kEnabled;
  assignLaunchAtLogin(inForce);
  store_.set(prefs::kLaunchAtLogin, inForce);
}

void SettingsViewModel::unhideApp(const QString& bundleID) {
  QStringList current = toQt(store_.stringArray(prefs::kHiddenApps).value_or(fromQt(hiddenApps_)));
  current.removeAll(bundleID);
  hiddenApps_ = current;
  // Told even when nothing was removed: the window may show a list older than the store.
  emit hiddenAppsChanged();
  store_.set(prefs::kHiddenApps, fromQt(hiddenApps_));
}

}  // namespace mixelot
