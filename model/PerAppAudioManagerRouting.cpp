// Output routing of PerAppAudioManager: which devices each app plays to, at which volume.
#include <algorithm>
#include <map>
#include <set>

#include "engine/PlaythroughEngine.h"
#include "engine/Volume.h"
#include "model/PerAppAudioManager.h"

namespace mixelot {

std::shared_ptr<AppTapState> PerAppAudioManager::chain(const std::string& id,
                                                       const std::string& uid) const {
  return playthroughEngine_->chain(id, uid);
}

void PerAppAudioManager::toggleDeviceRouting(const std::string& id, const std::string& deviceUID) {
  std::vector<std::string> devices;
  if (auto it = savedRouting_->find(id); it != savedRouting_->end()) devices = it->second;
  if (auto it = std::find(devices.begin(), devices.end(), deviceUID); it != devices.end())
    devices.erase(it);
  else
    devices.push_back(deviceUID);
  setRouting(id, std::move(devices));
}

void PerAppAudioManager::setRouting(const std::string& id, std::vector<std::string> devices) {
  // A device listed twice would mean two chains under one key; keep its first place.
  std::set<std::string> seen;
  std::erase_if(devices, [&](const std::string& uid) { return !seen.insert(uid).second; });

  savedRouting_.modify([&](auto& table) {
    if (devices.empty())
      table.erase(id);
    else
      table[id] = devices;
  });
  saved_.saveRouting(*savedRouting_);

  if (!updateApp(id, [&](AudioApp& app) { app.selectedOutputDeviceUIDs = devices; })) return;
  if (!playthroughEngine_) return;
  BusyScope busy(*this);
  const AudioApp& app = audioApps_.get()[*indexOf(id)];
  reconcileTaps(id, std::vector<hal::ObjectID>(app.processObjectIDs), app.currentVolume);
}

std::vector<std::string> PerAppAudioManager::routingOf(const std::string& id) const {
  auto it = savedRouting_->find(id);
  return it == savedRouting_->end() ? std::vector<std::string>{} : it->second;
}

void PerAppAudioManager::reconcileTaps(const std::string& id,
                                       const std::vector<hal::ObjectID>& processObjectIDs,
                                       float masterVolume) {
  // Building a chain runs the main queue, so the routing may change again while this works
  // towards it (a second click in the device menu); then work towards the newer one. Bounded, so
  // that a pathological stream of changes cannot keep this going.
  for (int round = 0; round < kMaxReconcileRounds; ++round) {
    const auto devices = routingOf(id);
    reconcileTapsOnce(id, devices, processObjectIDs, masterVolume);
    if (routingOf(id) == devices) return;
  }
}

void PerAppAudioManager::reconcileTapsOnce(const std::string& id,
                                           const std::vector<std::string>& devices,
                                           const std::vector<hal::ObjectID>& processObjectIDs,
                                           float masterVolume) {
  PlaythroughEngine& engine = *playthroughEngine_;
  const auto active = engine.activeDeviceUIDs(id);
  const std::set<std::string> have(active.begin(), active.end());
  std::vector<std::string> want = devices;
  const auto defaultUID = defaultOutputDeviceUID();
  if (want.empty()) {
    // Following the default device; when its UID cannot be read nothing is built, and the app
    // plays unprocessed until a later pass or routing change. An untouched app needs no chain
    // there, but keeps one it has until it is let go seamlessly.
    const auto listed = indexOf(id);
    const bool untouched = listed && !needsChains(audioApps_.get()[*listed]);
    if (defaultUID && !defaultUID->empty() && (!untouched || have.count(*defaultUID)))
      want.push_back(*defaultUID);
  }
  const std::set<std::string> wanted(want.begin(), want.end());
  // The chains that exist now, to tell afterwards which ones this call built: a chain removed
  // and built again under the same key is a new one (held here, so its address is not reused).
  std::map<std::string, std::shared_ptr<AppTapState>> before;
  for (const auto& uid : have) before[uid] = chain(id, uid);

  auto perDeviceOr = [&](const std::string& uid, float master) {
    if (auto it = savedPerDeviceVolumes_->find(id); it != savedPerDeviceVolumes_->end())
      if (auto entry = it->second.find(uid); entry != it->second.end()) return entry->second;
    return master;
  };
  auto isMuted = [&] {
    auto muted = mutedStates_->find(id);
    return muted != mutedStates_->end() && muted->second;
  };

  for (const auto& uid : have)
    if (!wanted.count(uid)) engine.removeTap(id, uid);
  for (const auto& uid : want)
    if (!have.count(uid))
      engine.createTap(
          id, processObjectIDs, uid,
          PlaythroughEngine::StartLevel{perDeviceOr(uid, masterVolume), isMuted(),
                                        // The app plays straight to the default device now: the
                                        // chain built there takes over from that path.
                                        have.empty() && uid == defaultUID});

  // The values are read after the chains exist: building one runs the main queue, and an
  // operation that ran meanwhile has already written the record and the tables.
  if (auto index = indexOf(id)) masterVolume = audioApps_.get()[*index].currentVolume;
  // Every chain built here starts at its device's volume, else at the app's. That includes a
  // chain the engine built on the default device in place of an absent routed one: left at the
  // engine's initial 1.0 it would blast an app the user had turned down.
  for (const auto& uid : engine.activeDeviceUIDs(id)) {
    if (auto it = before.find(uid); it != before.end() && it->second == chain(id, uid)) continue;
    engine.setAppDeviceVolume(id, uid, clampVolume(perDeviceOr(uid, masterVolume)));
  }
  engine.setAppMuted(id, isMuted());
}

void PerAppAudioManager::setDeviceVolume(const std::string& id, const std::string& deviceUID,
                                         float volume) {
  const float v = clampVolume(volume);
  savedPerDeviceVolumes_.modify([&](auto& table) { table[id][deviceUID] = v; });
  updateApp(id, [&](AudioApp& app) { app.perDeviceVolumes[deviceUID] = v; });
  // Only this device's chain; the app's mute flag stays as it is.
  if (playthroughEngine_) playthroughEngine_->setAppDeviceVolume(id, deviceUID, v);
  saved_.savePerDeviceVolumes(*savedPerDeviceVolumes_);
  updateChains(id);
}

}  // namespace mixelot
