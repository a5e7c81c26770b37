#include "ui/SettingsViewModel.h"

#include <QVariantMap>
#include <algorithm>
#include <cmath>

#include "platform/LoginItem.h"
#include "platform/Preferences.h"
#include "platform/PreferencesStore.h"
#include "platform/Workspace.h"
#include "ui/AppEvents.h"

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
                                     PreferencesStore& store, LoginItem& loginItem,
                                     const Workspace& workspace, QObject* parent)
    : QObject(parent),
      audioDeviceManager_(audioDeviceManager),
      store_(store),
      loginItem_(loginItem),
      workspace_(workspace),
      muteAllShortcut_(store, prefs::kShortcuts[0]),
      showHideShortcut_(store, prefs::kShortcuts[1]),
      muteFocusedShortcut_(store, prefs::kShortcuts[2]),
      focusedVolumeUpShortcut_(store, prefs::kShortcuts[3]),
      focusedVolumeDownShortcut_(store, prefs::kShortcuts[4]) {
  float stored = store_.floatValue(prefs::kDefaultVolume);
  // 0 or less (or a value of the wrong type, which reads as 0) means "never set".
  defaultVolume_ = stored > 0.0f && !std::isnan(stored) ? std::min(stored, 1.0f) : 1.0f;
  launchAtLogin_ = store_.boolValue(prefs::kLaunchAtLogin);
  assignHiddenApps(
      toQt(store_.stringArray(prefs::kHiddenApps).value_or(std::vector<std::string>{})), false);
  selectedOutputDeviceID_ =
      QString::fromStdString(store_.stringValue(prefs::kSelectedOutputDevice).value_or("default"));
  // One combination does one thing.
  const std::pair<ShortcutRecorder*, QString> doing[] = {
      {&muteAllShortcut_, QStringLiteral("already mutes all apps")},
      {&showHideShortcut_, QStringLiteral("already shows or hides the mixer")},
      {&muteFocusedShortcut_, QStringLiteral("already mutes the focused app")},
      {&focusedVolumeUpShortcut_, QStringLiteral("already turns the focused app up")},
      {&focusedVolumeDownShortcut_, QStringLiteral("already turns the focused app down")}};
  for (ShortcutRecorder* recorder : shortcuts()) {
    recorder->conflict = [recorder, doing](std::int64_t keyCode, std::int64_t modifiers) {
      for (const auto& [other, what] : doing) {
        if (other == recorder) continue;
        other->reload();
        if (keyCode == other->keyCode() && modifiers == other->modifiers()) return what;
      }
      return QString();
    };
    connect(recorder, &ShortcutRecorder::recordingChanged, this,
            [this, recorder] { recordingChanged(*recorder); });
  }
}

std::vector<ShortcutRecorder*> SettingsViewModel::shortcuts() {
  return {&muteAllShortcut_, &showHideShortcut_, &muteFocusedShortcut_, &focusedVolumeUpShortcut_,
          &focusedVolumeDownShortcut_};
}

void SettingsViewModel::setFocusedAppShortcutsAvailable(bool available) {
  if (available == focusedAppShortcutsAvailable_) return;
  focusedAppShortcutsAvailable_ = available;
  if (!available) {
    muteFocusedShortcut_.stopRecording();
    focusedVolumeUpShortcut_.stopRecording();
    focusedVolumeDownShortcut_.stopRecording();
  }
  emit focusedAppShortcutsAvailableChanged();
}

int SettingsViewModel::defaultVolumePercent() const {
  return static_cast<int>(defaultVolume_ * 100.0f);
}

void SettingsViewModel::recordingChanged(ShortcutRecorder& recorder) {
  // One recorder at a time: the key press goes to the one the user pressed last.
  bool anyRecording = false;
  for (ShortcutRecorder* other : shortcuts()) {
    if (other != &recorder && recorder.recording()) other->stopRecording();
    anyRecording = anyRecording || other->recording();
  }
  AppEvents::instance().setShortcutRecording(anyRecording);
}

void SettingsViewModel::stopRecording() {
  for (ShortcutRecorder* recorder : shortcuts()) recorder->stopRecording();
}

void SettingsViewModel::windowShown() {
  assignLaunchAtLogin(loginItem_.status() == LoginItem::Status::kEnabled);
  if (auto stored = store_.stringArray(prefs::kHiddenApps)) assignHiddenApps(toQt(*stored), false);
  for (ShortcutRecorder* recorder : shortcuts()) recorder->reload();
}

QString SettingsViewModel::displayName(const QString& bundleID) const {
  std::string id = bundleID.toStdString();
  for (const RunningApplication& app : workspace_.runningApplications()) {
    if (app.bundleIdentifier == id && app.localizedName && !app.localizedName->empty())
      return QString::fromStdString(*app.localizedName);
  }
  if (auto installed = workspace_.installedApplicationName(id))
    return QString::fromStdString(*installed);
  return bundleID;
}

void SettingsViewModel::assignHiddenApps(const QStringList& list, bool notifyUnchanged) {
  QStringList names;
  for (const QString& id : list) names << displayName(id);
  if (!notifyUnchanged && list == hiddenApps_ && names == hiddenAppNames_) return;
  hiddenApps_ = list;
  hiddenAppNames_ = names;
  emit hiddenAppsChanged();
}

QVariantList SettingsViewModel::hiddenAppRows() const {
  QVariantList rows;
  for (qsizetype i = 0; i < hiddenApps_.size(); ++i) {
    rows << QVariantMap{{QStringLiteral("bundleID"), hiddenApps_[i]},
                        {QStringLiteral("displayName"), hiddenAppNames_[i]}};
  }
  return rows;
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

void SettingsViewModel::reloadLaunchAtLogin() {
  assignLaunchAtLogin(store_.boolValue(prefs::kLaunchAtLogin));
}

void SettingsViewModel::unhideApp(const QString& bundleID) {
  QStringList current = toQt(store_.stringArray(prefs::kHiddenApps).value_or(fromQt(hiddenApps_)));
  current.removeAll(bundleID);
  // Told even when nothing was removed: the window may show a list older than the store.
  assignHiddenApps(current, true);
  store_.set(prefs::kHiddenApps, fromQt(hiddenApps_));
}

}  // namespace mixelot
