#include "model/PerAppAudioManager.h"

#include <algorithm>
#include <deque>
#include <unordered_map>
#include <unordered_set>

#include "engine/AppTapState.h"
#include "engine/AudioRecordingPermission.h"
#include "engine/PlaythroughEngine.h"
#include "engine/Volume.h"
#include "engine/hal/PropertyReads.h"
#include "model/DiscoveryRules.h"
#include "model/Lookup.h"
#include "model/NameCollator.h"
#include "platform/Preferences.h"
#include "platform/PreferencesStore.h"
#include "platform/ProcessInfo.h"
#include "platform/SystemLog.h"
#include "platform/Workspace.h"

namespace mixelot {
namespace {

constexpr hal::PropertyAddress kProcessObjectsAddress{hal::selector::kProcessObjects};
constexpr hal::PropertyAddress kProcessPIDAddress{hal::selector::kProcessPID};
constexpr hal::PropertyAddress kIsRunningOutputAddress{hal::selector::kProcessIsRunningOutput,
                                                       hal::scope::kOutput};
constexpr hal::PropertyAddress kIsRunningAddress{hal::selector::kProcessIsRunning};
constexpr hal::PropertyAddress kBundleIDAddress{hal::selector::kProcessBundleID};
constexpr hal::PropertyAddress kProcessNameAddress{hal::selector::kProcessName};
constexpr hal::PropertyAddress kDefaultOutputAddress{hal::selector::kDefaultOutputDevice};
constexpr hal::PropertyAddress kDeviceUIDAddress{hal::selector::kDeviceUID};

// The same process objects, whatever their order.
bool sameObjects(const std::vector<hal::ObjectID>& a, const std::vector<hal::ObjectID>& b) {
  if (a == b) return true;  // the common case, without copies
  if (a.size() != b.size()) return false;
  auto sortedA = a, sortedB = b;
  std::sort(sortedA.begin(), sortedA.end());
  std::sort(sortedB.begin(), sortedB.end());
  return sortedA == sortedB;
}

struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};
template <typename Value>
using StringMap = std::unordered_map<std::string, Value, StringHash, std::equal_to<>>;

}  // namespace

PerAppAudioManager::PerAppAudioManager(hal::AudioHardware& hardware, MainQueue& queue,
                                       PreferencesStore& preferences, Workspace& workspace,
                                       ProcessInfo& processInfo, PlaythroughEngine* engine,
                                       AudioRecordingPermission* permission)
    : hardware_(hardware),
      queue_(queue),
      preferences_(preferences),
      workspace_(workspace),
      processInfo_(processInfo),
      saved_(preferences),
      playthroughEngine_(engine),
      permission_(permission) {
  std::optional<std::string> deviceUID;
  if (playthroughEngine_) deviceUID = defaultOutputDeviceUID();
  currentDeviceUID_.set(deviceUID.value_or(std::string(kUnknownDeviceUID)));
  loadSavedVolumes();
  loadSavedRouting();
  loadSavedPerDeviceVolumes();
  startMonitoring();
  observePermission();
}

PerAppAudioManager::~PerAppAudioManager() {
  stopMonitoring();
}

// ---- monitoring ------------------------------------------------------------------------------

void PerAppAudioManager::startMonitoring() {
  refreshApps();
  std::weak_ptr<int> alive = lifetime_;
  if (!processListListener_) {
    hal::ListenerID id = 0;
    auto status = hardware_.addPropertyListener(
        hal::kSystemObject, kProcessObjectsAddress,
        [this, alive](std::span<const hal::PropertyAddress>) {
          if (!alive.expired()) scheduleRefresh();
        },
        id);
    if (status == hal::kNoError) processListListener_ = id;
  }
  // Replacing the handle cancels a timer of an earlier start, so there is only ever one.
  runningAppsMonitor_ = queue_.schedule(kDiscoveryInterval, true, [this, alive] {
    if (!alive.expired()) scheduleRefresh();
  });
}

void PerAppAudioManager::stopMonitoring() {
  runningAppsMonitor_.cancel();
  if (auto id = std::exchange(processListListener_, std::nullopt))
    hardware_.removePropertyListener(hal::kSystemObject, kProcessObjectsAddress, *id);
}

void PerAppAudioManager::scheduleRefresh() {
  // A burst of list changes asks for many passes; one pass that has not started yet serves
  // them all, since a pass reads everything afresh when it starts.
  if (isRefreshPosted_) return;
  isRefreshPosted_ = true;
  std::weak_ptr<int> alive = lifetime_;
  queue_.post([this, alive] {
    if (alive.expired()) return;
    isRefreshPosted_ = false;
    refreshApps();
  });
}

void PerAppAudioManager::observePermission() {
  if (!permission_) return;
  if (permission_->status() == AudioPermissionStatus::authorized) {
    if (playthroughEngine_) playthroughEngine_->setPermissionGranted(true);
    return;
  }
  std::weak_ptr<int> alive = lifetime_;
  permissionObservation_ = permission_->observeStatus([this, alive](AudioPermissionStatus) {
    // Watch for one change only; the task below watches again while access is still missing.
    permissionObservation_.reset();
    queue_.post([this, alive] {
      if (alive.expired()) return;
      if (permission_->status() == AudioPermissionStatus::authorized) {
        if (playthroughEngine_) playthroughEngine_->setPermissionGranted(true);
        refreshApps();
      } else {
        observePermission();
      }
    });
  });
}

// ---- platform reads --------------------------------------------------------------------------

std::vector<hal::ObjectID> PerAppAudioManager::processObjectList() {
  return hal::readObjectList(hardware_, hal::kSystemObject, kProcessObjectsAddress)
      .value_or(std::vector<hal::ObjectID>{});
}

std::optional<std::string> PerAppAudioManager::defaultOutputDeviceUID() {
  auto device = hal::readUInt32(hardware_, hal::kSystemObject, kDefaultOutputAddress);
  if (!device || *device == hal::kUnknownObject) return std::nullopt;
  auto uid = hal::readString(hardware_, *device, kDeviceUIDAddress);
  if (!uid || uid->empty()) return std::nullopt;
  return uid;
}

float PerAppAudioManager::defaultVolume() const {
  float volume = preferences_.floatValue(prefs::kDefaultVolume);
  // Clamped like every volume that enters the model: a hand-edited 5.0 must not become 500 %.
  return volume > 0.0f ? clampVolume(volume) : 1.0f;
}

// ---- discovery -------------------------------------------------------------------------------

void PerAppAudioManager::refreshApps() {
  if (busyDepth_ > 0) {
    // Asked for from inside a pass or a routing change (the engine runs the main queue while a
    // new chain comes alive): run once that has finished, on fresh inputs.
    isRefreshRequested_ = true;
    return;
  }
  BusyScope busy(*this);
  runDiscoveryPass();
}

void PerAppAudioManager::runDiscoveryPass() {
  // 1. Inputs, each prepared once so that every per-process step is a hash lookup.
  const pid_t ownPID = processInfo_.currentProcessId();
  std::unordered_set<std::string, StringHash, std::equal_to<>> hidden;
  if (auto list = preferences_.stringArray(prefs::kHiddenApps))
    hidden.insert(list->begin(), list->end());
  const float newAppVolume = defaultVolume();
  const auto objects = processObjectList();
  const RunningAppIndex applications(workspace_.runningApplications());
  // Owners made for programs without a desktop entry; a deque, so that groups may point at them.
  std::deque<RunningApplication> programs;

  // 2. Fold every process object producing output into the application that owns it.
  struct Group {
    std::string_view key;  // the owner's bundle identifier, held by `applications`
    const RunningApplication* owner;
    std::vector<hal::ObjectID> objects;
  };
  std::vector<Group> groups;
  std::unordered_map<std::string_view, size_t> groupIndex;
  std::unordered_set<uint64_t> grouped;  // (group index, object ID)
  groupIndex.reserve(objects.size());
  grouped.reserve(objects.size());
  for (hal::ObjectID object : objects) {
    auto pid = hal::readInt32(hardware_, object, kProcessPIDAddress);
    if (!pid || *pid == 0 || *pid == ownPID) continue;
    auto running = hal::readUInt32(hardware_, object, kIsRunningOutputAddress);
    if (!running) running = hal::readUInt32(hardware_, object, kIsRunningAddress);
    if (!running || *running == 0) continue;
    // The owner: the application of the process itself, else the nearest among its ancestors,
    // else the one the helper tables name. What a terminal or a game launcher started (a game
    // from Steam, Lutris or Heroic, a tool run in a terminal) is a program of its own, not a part
    // of the launcher, unless it names itself after it (the launcher's own helper); a browser's
    // or an Electron app's helpers have no such parent and stay with their app. A process none
    // of these find is a program without a desktop entry, listed under the name it gives itself.
    // Names and bundle identifiers are read only when these rules need them.
    std::optional<std::string> name;
    bool nameRead = false;
    auto processName = [&]() -> const std::optional<std::string>& {
      if (!std::exchange(nameRead, true))
        name = hal::readString(hardware_, object, kProcessNameAddress);
      return name;
    };
    const RunningApplication* owner = applications.byPID(*pid);
    if (!owner || !owner->isApplicationBundle) {
      owner = findParentApp(*pid, applications, processInfo_);
      if (owner && owner->hostsOtherPrograms && !reportsApplication(processName(), *owner))
        owner = nullptr;
    }
    if (!owner) {
      auto bundleID = hal::readString(hardware_, object, kBundleIDAddress);
      owner = findAppForHelper(bundleID, applications);
      // Its bundle identifier may be the scope it runs in (a terminal's, which is never listed),
      // so only the system table applies to it: the sound server's and daemons' own streams.
      if (!owner && !(bundleID && isSystemProcess(*bundleID))) {
        std::optional<RunningApplication> program;
        if (processName()) program = workspace_.installedApplicationNamed(*processName(), *pid);
        if (!program) program = programWithoutEntry(processName());
        if (program) owner = &programs.emplace_back(std::move(*program));
      }
    }
    if (!owner || !owner->bundleIdentifier || owner->bundleIdentifier->empty()) continue;
    std::string_view key = *owner->bundleIdentifier;
    if (hidden.count(key) || isNonAudioApp(key) || isSystemProcess(key)) continue;

    auto [it, isNew] = groupIndex.try_emplace(key, groups.size());
    if (isNew) groups.push_back({key, owner, {}});
    uint64_t pair = (static_cast<uint64_t>(it->second) << 32) | object;
    if (grouped.insert(pair).second) groups[it->second].objects.push_back(object);
  }

  // 3. The new list: listed apps keep their record, new ones start from the saved tables.
  // Safe to hold until step 7: nothing before it runs the main queue.
  const std::vector<AudioApp>& current = audioApps_.get();
  const TimePoint now = queue_.now();
  std::vector<AudioApp> next;
  next.reserve(groups.size() + current.size());
  // Listed apps seen now with other processes than before (one started or ended): their chains
  // must tap the new list.
  std::unordered_set<std::string_view> processesChanged;
  {
    StringMap<size_t> currentIndex;
    for (size_t i = 0; i < current.size(); ++i) currentIndex.try_emplace(current[i].id, i);
    for (auto& group : groups) {
      if (auto it = currentIndex.find(group.key); it != currentIndex.end()) {
        AudioApp app = current[it->second];
        if (!sameObjects(app.processObjectIDs, group.objects)) processesChanged.insert(group.key);
        app.processObjectIDs = std::move(group.objects);
        next.push_back(std::move(app));
        continue;
      }
      AudioApp app;
      app.id = std::string(group.key);
      app.name = group.owner->localizedName.value_or(std::string(kUnknownAppName));
      app.icon = group.owner->iconName;
      applySavedState(app, newAppVolume);
      app.lastActiveDate = now;
      app.processObjectIDs = std::move(group.objects);
      next.push_back(std::move(app));
    }
  }

  // 4. Seen now.
  lastSeenDates_.edit([&](auto& dates) {
    bool changed = false;
    for (const auto& group : groups) {
      auto it = dates.find(group.key);
      if (it == dates.end()) {
        dates.emplace(std::string(group.key), now);
        changed = true;
      } else if (it->second != now) {
        it->second = now;
        changed = true;
      }
    }
    return changed;
  });

  // 5. Apps gone silent stay listed, unchanged, for the grace period after they were last seen.
  for (const auto& app : current) {
    if (groupIndex.count(app.id)) continue;
    auto last = lookup(*lastSeenDates_, app.id);
    if (last && now - *last < kGracePeriod) next.push_back(app);
  }

  // 6. By name, ignoring case; equal names keep their order.
  {
    std::vector<const std::wstring*> keys;
    keys.reserve(next.size());
    for (const auto& app : next) keys.push_back(&sortKey(app.name));
    std::vector<size_t> order(next.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return *keys[a] < *keys[b]; });
    std::vector<AudioApp> sorted;
    sorted.reserve(next.size());
    for (size_t i : order) sorted.push_back(std::move(next[i]));
    next = std::move(sorted);
  }

  // 7. Chains for new apps, and for listed apps whose chains could not be built before; listed
  // apps with chains get them pointed at their new processes. From here on the main queue may run
  // (while a chain comes alive) and replace the published list, so the old ids are kept as copies.
  std::vector<std::string> oldList;
  oldList.reserve(current.size());
  for (const auto& app : current) oldList.push_back(app.id);
  const std::unordered_set<std::string_view> oldIDs(oldList.begin(), oldList.end());
  if (playthroughEngine_) {
    for (const auto& app : next) {
      // Asked app by app, as it goes: a chain may have been built for the app by an operation
      // that ran while an earlier app's chain came alive.
      if (oldIDs.count(app.id) && playthroughEngine_->hasTap(app.id)) {
        if (!groupIndex.count(app.id) && !needsChains(app)) {
          // Untouched again and silent now: back to its device, where no cycle can be missed.
          playthroughEngine_->removeTaps(app.id);
          logLine("Untouched and silent: " + app.id + " plays straight to its output");
        } else if (processesChanged.count(app.id)) {
          playthroughEngine_->updateTapProcesses(app.id, app.processObjectIDs);
        }
        continue;
      }
      // An app kept only by its grace period has the processes it had when last seen, which may
      // be gone; trying again with them would fail the same way every pass.
      if (!groupIndex.count(app.id)) continue;
      // Untouched, it plays straight to its device until its state asks for a chain.
      if (!needsChains(app)) {
        if (!oldIDs.count(app.id))
          logLine("Untouched: " + app.id + " plays straight to its output");
        continue;
      }
      createTapsForApp(app, newAppVolume);
    }
  }

  // 8. Apps dropped from the list lose their chains and their last-seen time.
  std::unordered_set<std::string_view> newIDs;
  for (const auto& app : next) newIDs.insert(app.id);
  std::vector<std::string> dropped;
  for (const auto& id : oldList)
    if (!newIDs.count(id)) dropped.push_back(id);
  if (!dropped.empty()) {
    if (playthroughEngine_)
      for (const auto& id : dropped) playthroughEngine_->removeTaps(id);
    lastSeenDates_.edit([&](auto& dates) {
      bool changed = false;
      for (const auto& id : dropped) changed |= dates.erase(id) > 0;
      return changed;
    });
  }

  // 9. Publish. An operation that ran while chains were being built (the engine runs the main
  // queue while it waits for a device) changed the published records, or for an app not listed
  // yet the tables, after step 3 read them; its volume, mute and routing win over those stale
  // copies, which the next save would otherwise store over the right values.
  const bool listChanged = appsRevision_ != passStartRevision_;
  StringMap<size_t> latestIndex;
  const auto& latest = audioApps_.get();
  if (listChanged)
    for (size_t i = 0; i < latest.size(); ++i) latestIndex.try_emplace(latest[i].id, i);
  for (auto& app : next) {
    if (!oldIDs.count(app.id)) {
      applySavedState(app, newAppVolume);
      continue;
    }
    auto it = latestIndex.find(app.id);
    if (it == latestIndex.end()) continue;
    const AudioApp& fresh = latest[it->second];
    app.currentVolume = fresh.currentVolume;
    app.isMuted = fresh.isMuted;
    app.selectedOutputDeviceUIDs = fresh.selectedOutputDeviceUIDs;
    app.perDeviceVolumes = fresh.perDeviceVolumes;
  }
  // Stored even when equal: an equal list may still carry new process objects, which routing
  // hands to the engine later; observers hear only of real changes.
  setApps(std::move(next));
}

void PerAppAudioManager::applySavedState(AudioApp& app, float newAppVolume) const {
  app.isMuted = lookup(*mutedStates_, app.id).value_or(false);
  app.currentVolume =
      app.isMuted ? 0.0f : clampVolume(lookup(*savedVolumes_, app.id).value_or(newAppVolume));
  app.selectedOutputDeviceUIDs =
      lookup(*savedRouting_, app.id).value_or(std::vector<std::string>{});
  app.perDeviceVolumes = lookup(*savedPerDeviceVolumes_, app.id).value_or(VolumeTable{});
}

PlaythroughEngine::StartLevel PerAppAudioManager::masterLevel(const std::string& id,
                                                              float newAppVolume) const {
  // A listed app plays at what its row shows: after a default-device change that is the new
  // device's volume or 1.0, which the volume table need not hold.
  if (auto index = indexOf(id)) {
    const AudioApp& app = audioApps_.get()[*index];
    return {app.isMuted ? 0.0f : app.currentVolume, app.isMuted};
  }
  const bool muted = lookup(*mutedStates_, id).value_or(false);
  return {muted ? 0.0f : lookup(*savedVolumes_, id).value_or(newAppVolume), muted};
}

void PerAppAudioManager::createTapsForApp(const AudioApp& app, float newAppVolume,
                                          bool takesOverDirect) {
  PlaythroughEngine& engine = *playthroughEngine_;
  const auto routing = routingOf(app.id);
  // The chains start at the level they will be set to below, so none plays louder meanwhile.
  auto start = [&](const std::string& uid) {
    auto level = masterLevel(app.id, newAppVolume);
    const auto perDevice = lookup(*savedPerDeviceVolumes_, app.id).value_or(VolumeTable{});
    if (!level.isMuted) level.volume = lookup(perDevice, uid).value_or(level.volume);
    return level;
  };
  if (routing.empty()) {
    auto level = start(engine.realDeviceUID());
    level.takesOverDirect = takesOverDirect;
    engine.createTap(app.id, app.processObjectIDs, std::nullopt, level);
  } else {
    for (const auto& uid : routing) engine.createTap(app.id, app.processObjectIDs, uid, start(uid));
  }
  // Read once the chains exist: building one runs the main queue, and an operation that ran
  // meanwhile has already written its values to the record or these tables.
  const auto level = masterLevel(app.id, newAppVolume);
  const auto perDevice = lookup(*savedPerDeviceVolumes_, app.id).value_or(VolumeTable{});
  for (const auto& uid : engine.activeDeviceUIDs(app.id)) {
    float target = level.isMuted ? 0.0f : lookup(perDevice, uid).value_or(level.volume);
    engine.setAppDeviceVolume(app.id, uid, clampVolume(target));
  }
  engine.setAppMuted(app.id, level.isMuted);
  // A routing change that ran meanwhile reconciled the chains that existed then; the ones built
  // above for the old routing may not belong any more.
  if (routingOf(app.id) != routing) reconcileTaps(app.id, app.processObjectIDs, level.volume);
}

const std::wstring& PerAppAudioManager::sortKey(const std::string& name) {
  static const NameCollator collator;
  auto it = sortKeys_.find(name);
  if (it == sortKeys_.end()) it = sortKeys_.emplace(name, collator.sortKey(name)).first;
  return it->second;
}

void PerAppAudioManager::setApps(std::vector<AudioApp> apps) {
  ++appsRevision_;
  audioApps_.set(std::move(apps));
}

std::optional<size_t> PerAppAudioManager::indexOf(const std::string& id) const {
  const auto& apps = audioApps_.get();
  for (size_t i = 0; i < apps.size(); ++i)
    if (apps[i].id == id) return i;
  return std::nullopt;
}

std::optional<std::string> PerAppAudioManager::appOfProcess(pid_t pid) const {
  if (pid < 2) return std::nullopt;
  const auto& apps = audioApps_.get();
  std::vector<std::pair<pid_t, const AudioApp*>> players;
  for (const auto& app : apps) {
    for (hal::ObjectID object : app.processObjectIDs) {
      auto player = hal::readInt32(hardware_, object, kProcessPIDAddress);
      if (!player) continue;
      if (*player == pid) return app.id;
      players.emplace_back(*player, &app);
    }
  }
  if (auto id = owningApplicationID(pid, workspace_, processInfo_); id && indexOf(*id)) return id;
  // Up from each player to the first application: a file manager that started a player, or the
  // player that is an application itself, is not where its sound belongs.
  auto isApplication = [this](pid_t process) {
    auto application = workspace_.runningApplication(process);
    return application && application->isApplicationBundle;
  };
  for (auto [player, app] : players) {
    if (isApplication(player)) continue;
    for (int step = 0; step < kMaxParentSteps; ++step) {
      auto parent = processInfo_.parentProcessId(player);
      if (!parent || *parent < 2) break;
      if (*parent == pid) return app->id;
      if (isApplication(*parent)) break;
      player = *parent;
    }
  }
  return std::nullopt;
}

PerAppAudioManager::BusyScope::BusyScope(PerAppAudioManager& manager) : manager_(manager) {
  if (manager_.busyDepth_++ == 0) manager_.passStartRevision_ = manager_.appsRevision_;
}

PerAppAudioManager::BusyScope::~BusyScope() {
  if (--manager_.busyDepth_ == 0 && std::exchange(manager_.isRefreshRequested_, false))
    manager_.scheduleRefresh();
}

}  // namespace mixelot
