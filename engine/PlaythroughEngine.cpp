#include "engine/PlaythroughEngine.h"

#include <algorithm>
#include <ranges>
#include <utility>

#include "engine/Volume.h"
#include "engine/hal/PropertyReads.h"
#include "platform/SystemLog.h"
#include "platform/Uuid.h"

namespace mixelot {

namespace {

using hal::PropertyAddress;
namespace selector = hal::selector;
namespace scope = hal::scope;

// How long createTap waits for a new aggregate device to report itself alive, and how often it
// looks. Setting up the I/O procedure on a device that is not alive yet may still work, so the
// wait only improves the odds; its outcome is not checked. The look is frequent because an app
// turned down or muted from untouched waits on this before its sound moves to the chain: every
// millisecond here is one more of it at its old level.
constexpr Seconds kAliveWait{0.5};
constexpr Seconds kAlivePoll{0.002};
constexpr uint32_t kStreamDirectionOutput = 0;
constexpr PropertyAddress kTapDescriptionAddress{selector::kTapDescription};

// The entries of one app's chains in a map keyed by ChainKey (they are adjacent).
template <typename Map>
auto chainsOf(Map& map, const std::string& appID) {
  auto first = map.lower_bound(ChainKey{appID, {}});
  auto last = first;
  while (last != map.end() && last->first.appID == appID) ++last;
  return std::ranges::subrange(first, last);
}

}  // namespace

PlaythroughEngine::PlaythroughEngine(hal::AudioHardware& hardware, MainQueue& queue)
    : hardware_(hardware), queue_(queue) {}

// Chains are released only through the operations: the process exits right after the engine
// goes, and every tap and aggregate is private to the process.
PlaythroughEngine::~PlaythroughEngine() = default;

void PlaythroughEngine::createTap(const std::string& bundleID,
                                  const std::vector<hal::ObjectID>& processObjectIDs,
                                  const std::optional<std::string>& deviceUID,
                                  std::optional<StartLevel> start) {
  buildChain(bundleID, processObjectIDs, deviceUID, start);
}

std::shared_ptr<AppTapState> PlaythroughEngine::buildChain(
    const std::string& bundleID, const std::vector<hal::ObjectID>& processObjectIDs,
    const std::optional<std::string>& deviceUID, std::optional<StartLevel> start) {
  if (processObjectIDs.empty() || !hardware_.supportsProcessTaps() || !permissionGranted_)
    return nullptr;

  if (realDeviceID_ == hal::kUnknownObject) refreshOutputDevice();
  if (realDeviceID_ == hal::kUnknownObject) {
    logLine("No real output device found");
    return nullptr;
  }

  std::string targetUID = realDeviceUID_;
  if (deviceUID && !deviceUID->empty() && deviceExists(*deviceUID)) targetUID = *deviceUID;

  const ChainKey key{bundleID, targetUID};
  if (appTaps_.count(key)) return nullptr;
  if (auto building = pending_.find(key); building != pending_.end()) {
    // Asked for again while it is built (a removal may have cancelled it in between, e.g. the
    // default device changed and changed back): this request is the newer one, so the build
    // goes on, with this request's processes.
    building->second.isCancelled = false;
    building->second.processObjectIDs = processObjectIDs;
    return nullptr;
  }

  auto state = std::make_shared<AppTapState>(bundleID, targetUID);
  state->isMetering.store(isLevelMetering_, std::memory_order_relaxed);
  if (start) {
    state->targetVolume.store(clampVolume(start->volume), std::memory_order_relaxed);
    state->isMuted.store(start->isMuted, std::memory_order_relaxed);
  }

  auto makeTap = [&](hal::TapDescription description) {
    description.name = bundleID;
    description.uuid = state->tapUUID;
    description.muteBehavior = hal::TapMuteBehavior::kMutedWhenTapped;
    description.isPrivate = true;
    hal::ObjectID tap = hal::kUnknownObject;
    if (hardware_.createProcessTap(description, tap) != hal::kNoError) return hal::kUnknownObject;
    return tap;
  };
  hal::ObjectID tap = hal::kUnknownObject;
  if (auto stream = outputStreamIndex())
    tap = makeTap(hal::TapDescription::forDeviceStream(processObjectIDs, realDeviceUID_, *stream));
  if (tap == hal::kUnknownObject)
    tap = makeTap(hal::TapDescription::stereoMixdown(processObjectIDs));
  if (tap == hal::kUnknownObject) {
    logLine("Failed to create tap for " + bundleID);
    return nullptr;
  }
  state->tapObjectID = tap;

  hal::AggregateDescription aggregate;
  aggregate.name = std::string(kAggregateNamePrefix) + bundleID;
  aggregate.uid = makeUuidString();
  aggregate.master = targetUID;
  aggregate.clock = targetUID;
  aggregate.isPrivate = true;
  aggregate.isStacked = true;
  aggregate.tapAutoStart = true;
  aggregate.subdevices = {{.uid = targetUID, .drift = false}};
  aggregate.taps = {{.drift = true, .uid = state->tapUUID}};
  hal::ObjectID device = hal::kUnknownObject;
  if (hardware_.createAggregateDevice(aggregate, device) != hal::kNoError) {
    logLine("Failed to create aggregate for " + bundleID);
    hardware_.destroyProcessTap(tap);
    return nullptr;
  }
  state->aggregateDeviceID = device;

  // The wait runs the main queue, so other operations can run in the middle of this one. The key
  // is held as pending meanwhile: a second createTap for it joins this build, a removal of it (or
  // of every chain) cancels it instead of leaving a chain nobody asked for, and volumes and mute
  // set meanwhile reach its state.
  pending_[key] = {state, processObjectIDs, false};
  waitUntilAlive(device);
  const PendingBuild build = std::move(pending_.at(key));
  pending_.erase(key);
  if (build.isCancelled) {
    releaseResources(*state);
    return nullptr;
  }
  if (build.processObjectIDs != processObjectIDs) {
    const hal::Status written = hardware_.setPropertyData(
        tap, kTapDescriptionAddress, hal::PropertyValue(build.processObjectIDs));
    if (written != hal::kNoError) {
      logLine("Failed to update tap for " + bundleID + ": " + std::to_string(written));
      releaseResources(*state);
      return nullptr;
    }
  }

  // The first cycle plays at the chain's target, not at a gain of 1 ramping down to it: a muted
  // or turned-down app must not blare for the ramp's length. A chain taking over from the direct
  // path starts where that path plays instead. The block does not run yet.
  if (start && start->takesOverDirect)
    state->holdUnityUntilSound();
  else
    state->currentGain = state->effectiveTarget();
  std::optional<hal::IOProcID> ioProc;
  // The block owns the state, so a cycle that is still running while the chain goes away works
  // on live memory.
  const hal::Status created = hardware_.createIOProc(
      device, state->queueLabel,
      [state](std::span<const hal::AudioBuffer> input, std::span<hal::AudioBuffer> output) {
        state->process(input, output);
      },
      ioProc);
  if (created != hal::kNoError || !ioProc) {
    logLine("Failed to create IOProc for " + bundleID + ": " + std::to_string(created));
    releaseResources(*state);
    return nullptr;
  }
  state->ioProcID = ioProc;
  if (hardware_.deviceStart(device, *ioProc) != hal::kNoError) {
    logLine("Failed to start IOProc for " + bundleID);
    releaseResources(*state);
    return nullptr;
  }

  appTaps_[key] = state;
  logLine("Tap active for " + bundleID + " \u2192 " + targetUID + " (tap=" + std::to_string(tap) +
          " agg=" + std::to_string(device) + ")");
  return state;
}

bool PlaythroughEngine::deviceExists(const std::string& deviceUID) {
  auto devices = hal::readObjectList(hardware_, hal::kSystemObject, {selector::kDevices});
  if (!devices) return false;
  return std::any_of(devices->begin(), devices->end(), [&](hal::ObjectID device) {
    return hal::readString(hardware_, device, {selector::kDeviceUID}) == deviceUID;
  });
}

std::optional<uint32_t> PlaythroughEngine::outputStreamIndex() {
  auto streams = hal::readObjectList(hardware_, realDeviceID_, {selector::kStreams});
  if (!streams) return std::nullopt;
  for (size_t i = 0; i < streams->size(); ++i) {
    if (hal::readUInt32(hardware_, (*streams)[i], {selector::kStreamDirection}) ==
        kStreamDirectionOutput)
      return static_cast<uint32_t>(i);
  }
  return std::nullopt;
}

void PlaythroughEngine::waitUntilAlive(hal::ObjectID device) {
  const TimePoint deadline =
      queue_.now() + std::chrono::duration_cast<TimePoint::duration>(kAliveWait);
  while (queue_.now() < deadline) {
    auto alive = hal::readUInt32(hardware_, device, {selector::kDeviceIsAlive});
    if (alive && *alive != 0) return;
    queue_.runFor(kAlivePoll);
  }
}

void PlaythroughEngine::updateTapProcesses(const std::string& bundleID,
                                           const std::vector<hal::ObjectID>& processObjectIDs) {
  // A tap of nothing is no tap; the app's chains go with the app instead.
  if (processObjectIDs.empty()) return;
  std::vector<std::pair<ChainKey, std::shared_ptr<AppTapState>>> chains;
  for (const auto& [key, state] : chainsOf(appTaps_, bundleID)) chains.emplace_back(key, state);
  const hal::PropertyValue processes = processObjectIDs;
  for (const auto& [key, state] : chains) {
    // A rebuild below runs the main queue, and a chain may have gone (or been replaced) meanwhile.
    auto it = appTaps_.find(key);
    if (it == appTaps_.end() || it->second != state) continue;
    const hal::Status written =
        hardware_.setPropertyData(state->tapObjectID, kTapDescriptionAddress, processes);
    if (written == hal::kNoError) continue;

    // Left alone, the chain would keep processing the old processes only, and the new ones would
    // play unprocessed until the app's processes change again: build it anew with the whole list.
    // The old chain goes first (its key is the new one's), in the fixed order; the new one is
    // built all the way or not at all, as any chain, and starts at the old one's volume and mute,
    // also when it lands on the default device because its own has gone.
    logLine("Failed to update tap for " + bundleID + ": " + std::to_string(written));
    appTaps_.erase(it);
    releaseResources(*state);
    buildChain(bundleID, processObjectIDs, state->deviceUID,
               StartLevel{state->targetVolume.load(std::memory_order_relaxed),
                          state->isMuted.load(std::memory_order_relaxed)});
  }
}

void PlaythroughEngine::removeTap(const std::string& bundleID, const std::string& deviceUID) {
  const ChainKey key{bundleID, deviceUID};
  if (auto building = pending_.find(key); building != pending_.end())
    building->second.isCancelled = true;
  auto it = appTaps_.find(key);
  if (it == appTaps_.end()) return;
  auto state = it->second;
  appTaps_.erase(it);
  releaseResources(*state);
}

void PlaythroughEngine::removeTaps(const std::string& bundleID) {
  for (auto& [key, build] : chainsOf(pending_, bundleID)) build.isCancelled = true;
  std::vector<ChainKey> keys;
  for (const auto& [key, state] : chainsOf(appTaps_, bundleID)) keys.push_back(key);
  for (const auto& key : keys) {
    auto it = appTaps_.find(key);
    if (it == appTaps_.end()) continue;
    auto state = it->second;
    appTaps_.erase(it);
    releaseResources(*state);
  }
}

bool PlaythroughEngine::hasTap(const std::string& bundleID) const {
  return !chainsOf(appTaps_, bundleID).empty();
}

std::vector<std::string> PlaythroughEngine::activeDeviceUIDs(const std::string& bundleID) const {
  std::vector<std::string> uids;
  for (const auto& [key, state] : chainsOf(appTaps_, bundleID)) uids.push_back(key.deviceUID);
  return uids;
}

std::shared_ptr<AppTapState> PlaythroughEngine::chain(const std::string& bundleID,
                                                      const std::string& deviceUID) const {
  auto it = appTaps_.find(ChainKey{bundleID, deviceUID});
  return it == appTaps_.end() ? nullptr : it->second;
}

template <typename Visit>
void PlaythroughEngine::forEachChain(const std::string& bundleID, Visit visit) {
  for (auto& [key, state] : chainsOf(appTaps_, bundleID)) visit(key, *state);
  for (auto& [key, build] : chainsOf(pending_, bundleID)) visit(key, *build.state);
}

void PlaythroughEngine::setAppVolume(const std::string& bundleID, float volume) {
  const float clamped = clampVolume(volume);
  forEachChain(bundleID, [&](const ChainKey&, AppTapState& state) {
    state.targetVolume.store(clamped, std::memory_order_relaxed);
  });
}

void PlaythroughEngine::setAppDeviceVolume(const std::string& bundleID,
                                           const std::string& deviceUID, float volume) {
  const float clamped = clampVolume(volume);
  forEachChain(bundleID, [&](const ChainKey& key, AppTapState& state) {
    if (key.deviceUID == deviceUID) state.targetVolume.store(clamped, std::memory_order_relaxed);
  });
}

void PlaythroughEngine::setAppMuted(const std::string& bundleID, bool muted) {
  forEachChain(bundleID, [&](const ChainKey&, AppTapState& state) {
    state.isMuted.store(muted, std::memory_order_relaxed);
  });
}

void PlaythroughEngine::setLevelMetering(bool on) {
  isLevelMetering_ = on;
  auto apply = [&](AppTapState& state) {
    state.isMetering.store(on, std::memory_order_relaxed);
    if (!on) {
      state.takePeakLevel();
      state.level = 0.0f;
    }
  };
  for (auto& [key, state] : appTaps_) apply(*state);
  for (auto& [key, build] : pending_) apply(*build.state);
}

void PlaythroughEngine::sampleLevels() {
  // A meter shows up to full scale; louder input (floats may exceed it) reads full.
  for (auto& [key, state] : appTaps_) state->level = std::min(state->takePeakLevel(), 1.0f);
}

float PlaythroughEngine::appLevel(const std::string& bundleID) const {
  float level = 0.0f;
  for (const auto& [key, state] : chainsOf(appTaps_, bundleID))
    level = std::max(level, state->level);
  return level;
}

float PlaythroughEngine::deviceLevel(const std::string& bundleID,
                                     const std::string& deviceUID) const {
  auto found = chain(bundleID, deviceUID);
  return found ? found->level : 0.0f;
}

void PlaythroughEngine::stopAll() {
  for (auto& [key, build] : pending_) build.isCancelled = true;
  // Swap first: releasing may run nothing re-entrant today, but the map must not change while
  // it is walked.
  auto taps = std::exchange(appTaps_, {});
  for (auto& [key, state] : taps) releaseResources(*state);
}

void PlaythroughEngine::refreshOutputDevice() {
  const hal::ObjectID device =
      hal::readUInt32(hardware_, hal::kSystemObject, {selector::kDefaultOutputDevice})
          .value_or(hal::kUnknownObject);
  const std::string uid =
      hal::readString(hardware_, device, {selector::kDeviceUID}).value_or(std::string());
  if (uid == realDeviceUID_) return;

  logLine("Output device changed: " + realDeviceUID_ + " \u2192 " + uid);
  realDeviceID_ = device;
  realDeviceUID_ = uid;
  for (auto& [key, build] : pending_) build.isCancelled = true;
  auto taps = std::exchange(appTaps_, {});
  for (auto& [key, state] : taps) releaseResources(*state);
}

void PlaythroughEngine::releaseResources(AppTapState& state) {
  if (state.ioProcID) {
    hardware_.deviceStop(state.aggregateDeviceID, *state.ioProcID);
    hardware_.destroyIOProc(state.aggregateDeviceID, *state.ioProcID);
    state.ioProcID.reset();
  }
  if (state.aggregateDeviceID != hal::kUnknownObject)
    hardware_.destroyAggregateDevice(state.aggregateDeviceID);
  if (state.tapObjectID != hal::kUnknownObject && hardware_.supportsProcessTaps())
    hardware_.destroyProcessTap(state.tapObjectID);
}

}  // namespace mixelot
