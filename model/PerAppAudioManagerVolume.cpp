// Volume, mute and the saved volume tables of PerAppAudioManager.
#include <algorithm>
#include <cmath>

#include "engine/PlaythroughEngine.h"
#include "engine/Volume.h"
#include "model/Lookup.h"
#include "model/PerAppAudioManager.h"

namespace mixelot {

bool PerAppAudioManager::updateApp(const std::string& id,
                                   const std::function<void(AudioApp&)>& change) {
  auto index = indexOf(id);
  if (!index) return false;
  auto apps = audioApps_.get();
  change(apps[*index]);
  setApps(std::move(apps));
  return true;
}

float PerAppAudioManager::restoreVolume(const std::string& id) const {
  if (auto volume = lookup(*preMuteVolumes_, id)) return clampVolume(*volume);
  return clampVolume(lookup(*savedVolumes_, id).value_or(1.0f));
}

void PerAppAudioManager::setVolume(const std::string& id, float volume) {
  const float v = clampVolume(volume);
  savedVolumes_.modify([&](auto& table) { table[id] = v; });
  // A pre-mute volume kept after an unmute is older than this one: the next unmute-all must come
  // back here, not there.
  preMuteVolumes_.edit([&](auto& table) { return table.erase(id) > 0; });
  bool wasMuted = false;
  updateApp(id, [&](AudioApp& app) {
    app.currentVolume = v;
    wasMuted = std::exchange(app.isMuted, false);
  });
  if (wasMuted) {
    mutedStates_.modify([&](auto& table) { table[id] = false; });
    if (playthroughEngine_) playthroughEngine_->setAppMuted(id, false);
  }
  // Every chain of the app, whatever its per-device volume: the master slider sets them all.
  if (playthroughEngine_) playthroughEngine_->setAppVolume(id, v);
  saveVolumes();
  updateChains(id);
}

void PerAppAudioManager::toggleMute(const std::string& id) {
  auto index = indexOf(id);
  if (!index) return;
  const AudioApp& app = audioApps_.get()[*index];
  if (app.isMuted) {
    const float restored = restoreVolume(id);
    updateApp(id, [&](AudioApp& record) {
      record.currentVolume = restored;
      record.isMuted = false;
    });
    mutedStates_.modify([&](auto& table) { table[id] = false; });
    savedVolumes_.modify([&](auto& table) { table[id] = restored; });
    if (playthroughEngine_) {
      playthroughEngine_->setAppMuted(id, false);
      playthroughEngine_->setAppVolume(id, restored);
    }
  } else {
    // The saved volume and the chains' targets stay: muting is the chains' ramp to silence, and
    // unmuting (also after a restart) comes back to the volume the app had.
    const float before = app.currentVolume;
    preMuteVolumes_.modify([&](auto& table) { table[id] = before; });
    updateApp(id, [&](AudioApp& record) {
      record.currentVolume = 0.0f;
      record.isMuted = true;
    });
    mutedStates_.modify([&](auto& table) { table[id] = true; });
    if (playthroughEngine_) playthroughEngine_->setAppMuted(id, true);
  }
  saveVolumes();
  updateChains(id);
}

bool PerAppAudioManager::stepVolume(const std::string& id, float delta) {
  auto index = indexOf(id);
  if (!index) return false;
  const AudioApp& app = audioApps_.get()[*index];
  // As a desktop's volume keys treat a muted output: up brings the sound back where it was, down
  // keeps it quiet.
  if (app.isMuted) {
    if (delta > 0.0f) toggleMute(id);
    return true;
  }
  // Rounded so that steps of 5 % land on 5 % marks again, whatever a float makes of 0.05.
  setVolume(id, std::round((app.currentVolume + delta) * 1000.0f) / 1000.0f);
  return true;
}

bool PerAppAudioManager::muteAll() {
  auto apps = audioApps_.get();
  std::vector<std::string> muted;
  auto preMute = preMuteVolumes_.get();
  auto states = mutedStates_.get();
  for (auto& app : apps) {
    // An app muted already keeps the volume it had before that earlier mute.
    if (app.isMuted) continue;
    preMute[app.id] = app.currentVolume;
    app.currentVolume = 0.0f;
    app.isMuted = true;
    states[app.id] = true;
    muted.push_back(app.id);
  }
  if (muted.empty()) return false;
  preMuteVolumes_.set(std::move(preMute));
  mutedStates_.set(std::move(states));
  setApps(std::move(apps));
  if (playthroughEngine_)
    for (const auto& id : muted) playthroughEngine_->setAppMuted(id, true);
  saveVolumes();
  for (const auto& id : muted) updateChains(id);
  return true;
}

void PerAppAudioManager::unmuteAll() {
  auto apps = audioApps_.get();
  auto states = mutedStates_.get();
  auto saved = savedVolumes_.get();
  std::vector<std::pair<std::string, float>> restored;
  for (auto& app : apps) {
    const float volume = restoreVolume(app.id);
    app.currentVolume = volume;
    app.isMuted = false;
    states[app.id] = false;
    saved[app.id] = volume;
    restored.emplace_back(app.id, volume);
  }
  mutedStates_.set(std::move(states));
  savedVolumes_.set(std::move(saved));
  setApps(std::move(apps));
  if (playthroughEngine_) {
    for (const auto& [id, volume] : restored) {
      playthroughEngine_->setAppMuted(id, false);
      playthroughEngine_->setAppVolume(id, volume);
    }
  }
  preMuteVolumes_.set({});
  saveVolumes();
  for (const auto& [id, volume] : restored) updateChains(id);
}

bool PerAppAudioManager::allAppsMuted() const {
  const auto& apps = audioApps_.get();
  return !apps.empty() &&
         std::all_of(apps.begin(), apps.end(), [](const AudioApp& app) { return app.isMuted; });
}

void PerAppAudioManager::outputDeviceChanged() {
  // No device known (no connection to the sound server, or its session manager restarting) is an
  // outage, not a new device: every app keeps its volume, mute and routing through it, and no
  // table is stored for it. Only a real device other than the current one switches the tables.
  const auto uid = defaultOutputDeviceUID();
  if (!uid || *uid == *currentDeviceUID_) return;
  // Muted while no device was known (the program started before the sound server): that mute is
  // as recent as the new device, so it stays.
  const bool keepMutes = !knownDeviceUID();
  // The volumes so far belong to the old device; the new one has its own remembered table.
  saveVolumes();
  currentDeviceUID_.set(*uid);
  loadSavedVolumes();
  auto apps = audioApps_.get();
  auto states = mutedStates_.get();
  std::vector<std::pair<std::string, float>> volumes;
  for (auto& app : apps) {
    if (keepMutes && app.isMuted) continue;
    const float volume = clampVolume(lookup(*savedVolumes_, app.id).value_or(1.0f));
    app.currentVolume = volume;
    app.isMuted = false;
    states[app.id] = false;
    volumes.emplace_back(app.id, volume);
  }
  mutedStates_.set(std::move(states));
  // Every app now plays unmuted at the new device's volume; a pre-mute volume of the old device
  // would otherwise win over it at the next unmute-all.
  if (!keepMutes) preMuteVolumes_.set({});
  setApps(std::move(apps));
  if (playthroughEngine_) {
    for (const auto& [id, volume] : volumes) {
      playthroughEngine_->setAppVolume(id, volume);
      playthroughEngine_->setAppMuted(id, false);
    }
  }
}

// ---- level meters ----------------------------------------------------------------------------

void PerAppAudioManager::setLevelMetering(bool on) {
  if (!playthroughEngine_) return;
  playthroughEngine_->setLevelMetering(on);
  updateChains();
}

void PerAppAudioManager::sampleLevels() {
  if (playthroughEngine_) playthroughEngine_->sampleLevels();
}

float PerAppAudioManager::appLevel(const std::string& id) const {
  return playthroughEngine_ ? playthroughEngine_->appLevel(id) : 0.0f;
}

float PerAppAudioManager::deviceLevel(const std::string& id, const std::string& deviceUID) const {
  return playthroughEngine_ ? playthroughEngine_->deviceLevel(id, deviceUID) : 0.0f;
}

// ---- saved tables ----------------------------------------------------------------------------

std::optional<std::string> PerAppAudioManager::knownDeviceUID() const {
  if (*currentDeviceUID_ == kUnknownDeviceUID) return std::nullopt;
  return *currentDeviceUID_;
}

void PerAppAudioManager::loadSavedVolumes() {
  if (auto table = saved_.loadVolumes(knownDeviceUID())) savedVolumes_.set(std::move(*table));
}

void PerAppAudioManager::loadSavedRouting() {
  savedRouting_.set(saved_.loadRouting());
}

void PerAppAudioManager::loadSavedPerDeviceVolumes() {
  savedPerDeviceVolumes_.set(saved_.loadPerDeviceVolumes());
}

void PerAppAudioManager::saveVolumes() {
  VolumeTable table;
  for (const auto& app : audioApps_.get()) {
    // A muted app is remembered at the volume it will come back to, never at its silent 0.
    table[app.id] = app.isMuted ? restoreVolume(app.id) : app.currentVolume;
  }
  // Apps not listed right now keep what they had.
  for (const auto& [id, volume] : savedVolumes_.get()) table.try_emplace(id, volume);
  savedVolumes_.set(table);
  saved_.saveVolumes(knownDeviceUID(), table);
}

}  // namespace mixelot
