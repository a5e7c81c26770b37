// Which listed apps play through chains: those whose state asks for them, and every one while
// the meters are on. An untouched app plays straight to its device.
#include "engine/AppTapState.h"
#include "engine/PlaythroughEngine.h"
#include "model/Lookup.h"
#include "model/PerAppAudioManager.h"

namespace mixelot {

bool PerAppAudioManager::needsChains(const AudioApp& app) const {
  if (!playthroughEngine_) return false;
  if (playthroughEngine_->isLevelMetering()) return true;
  if (softwareVolume.load(std::memory_order_relaxed) != 1.0f) return true;
  if (app.isMuted || app.currentVolume != 1.0f || !app.selectedOutputDeviceUIDs.empty())
    return true;
  // Following the default device, only that device's volume applies.
  if (auto uid = knownDeviceUID())
    if (auto volume = lookup(app.perDeviceVolumes, *uid); volume && *volume != 1.0f) return true;
  return false;
}

void PerAppAudioManager::updateChains() {
  std::vector<std::string> ids;
  for (const auto& app : audioApps_.get()) ids.push_back(app.id);
  for (const auto& id : ids) updateChains(id);
}

void PerAppAudioManager::updateChains(const std::string& id) {
  if (!playthroughEngine_ || playthroughEngine_->hasTap(id)) return;
  auto index = indexOf(id);
  if (!index) return;
  // A copy: building a chain runs the main queue, which may replace the list.
  const AudioApp app = audioApps_.get()[*index];
  // An app whose process list is empty (kept by its grace period) has nothing to tap.
  if (!needsChains(app) || app.processObjectIDs.empty()) return;
  BusyScope busy(*this);
  createTapsForApp(app, defaultVolume(), true);
}

}  // namespace mixelot
