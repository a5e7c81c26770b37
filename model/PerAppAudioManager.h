#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/AudioRecordingPermission.h"
#include "engine/PlaythroughEngine.h"
#include "engine/hal/AudioHardware.h"
#include "model/AudioApp.h"
#include "model/Observable.h"
#include "model/SavedAppState.h"
#include "platform/MainQueue.h"

namespace mixelot {

class AppTapState;
class PreferencesStore;
class ProcessInfo;
class Workspace;

// Keeps the list of applications producing sound, with their volume, mute and output routing,
// and makes sure every listed application that needs them has its chains in the engine. An app
// left as it plays on its own (full volume, unmuted, following the default device at full
// device volume) needs none: its streams play straight to the device, which costs nothing. Its
// chains are built when its state first leaves that, the streams moving into them without a
// gap. Back in that state it keeps them, at unity, until it next falls silent: taking a chain's
// links off a device that is playing costs the device a cycle of silence, heard as a click.
// Lives on the main thread for the life of the program; monitoring starts in the constructor.
//
// Every operation runs on the main thread and none reports failure: a failed read takes its
// fallback (no processes, "default" device, an empty table), a missing engine means the model
// changes and no chain is touched.
//
// Observers: every state field is an Observable; subscribe with e.g.
//   auto s = manager.audioApps().observe([&] { ... manager.audioApps().get() ... });
// An observer runs only when the field's value really changed.
class PerAppAudioManager {
 public:
  using VolumeTable = SavedAppState::VolumeTable;
  using RoutingTable = SavedAppState::RoutingTable;
  using DeviceVolumeTable = SavedAppState::DeviceVolumeTable;

  static constexpr Seconds kDiscoveryInterval{3.0};
  static constexpr Seconds kGracePeriod{10.0};
  // Names the volume table when the default output device's UID cannot be read.
  static constexpr std::string_view kUnknownDeviceUID = "default";
  static constexpr std::string_view kUnknownAppName = "Unknown";
  static constexpr int kMaxReconcileRounds = 3;

  // Runs the first discovery pass and starts monitoring before it returns. `engine` and
  // `permission` may be null; everything else must outlive the manager.
  PerAppAudioManager(hal::AudioHardware& hardware, MainQueue& queue, PreferencesStore& preferences,
                     Workspace& workspace, ProcessInfo& processInfo, PlaythroughEngine* engine,
                     AudioRecordingPermission* permission);
  ~PerAppAudioManager();
  PerAppAudioManager(const PerAppAudioManager&) = delete;
  PerAppAudioManager& operator=(const PerAppAudioManager&) = delete;

  // ---- observable state ----------------------------------------------------------------------
  // The listed applications in display order (by name, ignoring case).
  const Observable<std::vector<AudioApp>>& audioApps() const { return audioApps_; }
  // Remembered volume per app for the current output device.
  const Observable<VolumeTable>& savedVolumes() const { return savedVolumes_; }
  // In memory only: which apps are muted, and the volume each had when it was muted.
  const Observable<std::map<std::string, bool>>& mutedStates() const { return mutedStates_; }
  const Observable<VolumeTable>& preMuteVolumes() const { return preMuteVolumes_; }
  // The last pass in which each listed app was producing sound.
  using DateTable = std::map<std::string, TimePoint, std::less<>>;
  const Observable<DateTable>& lastSeenDates() const { return lastSeenDates_; }
  // The output device the volume table belongs to, or "default" when it is unknown.
  const Observable<std::string>& currentDeviceUID() const { return currentDeviceUID_; }
  const Observable<RoutingTable>& savedRouting() const { return savedRouting_; }
  const Observable<DeviceVolumeTable>& savedPerDeviceVolumes() const {
    return savedPerDeviceVolumes_;
  }

  // ---- monitoring and discovery ----------------------------------------------------------------
  // Runs a pass now, then one after every change of the process-object list and every 3 s.
  void startMonitoring();
  // Ends the listener and the timer. Called at termination before the engine tears down chains.
  void stopMonitoring();
  bool isMonitoring() const { return runningAppsMonitor_.isActive(); }
  // One discovery pass. A pass asked for while one runs (the engine's wait for a new chain runs
  // the main queue) is run right after it instead, so passes never overlap.
  void refreshApps();

  // ---- volume and mute
  // ---------------------------------------------------------------------------
  void setVolume(const std::string& id, float volume);
  void toggleMute(const std::string& id);
  // Returns whether at least one app was muted by this call.
  bool muteAll();
  void unmuteAll();
  bool allAppsMuted() const;
  // Moves a listed app's volume by `delta` (0...1 units), clamped, to a tenth of a percent. A
  // muted app comes back at its volume on a step up, without the step, and stays muted on a step
  // down. Returns false when the id is not listed.
  bool stepVolume(const std::string& id, float delta);
  // After the default output device changed (and the engine reacted): switches to the volumes
  // remembered for the new device. Every app comes back unmuted. No device (an outage) and the
  // same device again change nothing.
  void outputDeviceChanged();

  // The listed app that the process `pid` (a window's owner) belongs to: the app the process
  // plays for, else the app the process is (by the discovery's identity rules), else the app of
  // a process it started (a browser's window and the helper that plays, a terminal and the
  // player in it), as long as no other application stands between them. None otherwise.
  std::optional<std::string> appOfProcess(pid_t pid) const;

  // ---- routing ---------------------------------------------------------------------------------
  void toggleDeviceRouting(const std::string& id, const std::string& deviceUID);
  // An empty list means: follow the default output device.
  void setRouting(const std::string& id, std::vector<std::string> devices);
  void setDeviceVolume(const std::string& id, const std::string& deviceUID, float volume);

  // Whether the app plays through chains for what it is set to; false for one left untouched
  // (full volume, unmuted, following the default device at its full per-device volume, no
  // software volume in force, no meters shown).
  bool needsChains(const AudioApp& app) const;
  // Builds the chains the listed apps' states ask for: after a change the model does not see
  // itself (the software volume).
  void updateChains();

  // ---- level meters (the engine's chains; nothing and 0 without an engine) ---------------------
  // The meters read the chains: while they are on, every listed app has them.
  void setLevelMetering(bool on);
  // Ends a sampling period; the levels below are the peaks played during it.
  void sampleLevels();
  // The app's peak over all its chains, 0...1.
  float appLevel(const std::string& id) const;
  // The peak of the app's chain on one device.
  float deviceLevel(const std::string& id, const std::string& deviceUID) const;

 private:
  struct PassInputs;

  void scheduleRefresh();
  void runDiscoveryPass();
  void observePermission();
  std::vector<hal::ObjectID> processObjectList();
  // The default output device's UID; nothing when no device is known or its UID is unreadable.
  std::optional<std::string> defaultOutputDeviceUID();
  // `currentDeviceUID`, unless it stands for no device known.
  std::optional<std::string> knownDeviceUID() const;
  float defaultVolume() const;

  void loadSavedVolumes();
  void loadSavedRouting();
  void loadSavedPerDeviceVolumes();
  void saveVolumes();

  // Marks a pass or a routing change in progress: a pass asked for meanwhile is deferred.
  class BusyScope {
   public:
    explicit BusyScope(PerAppAudioManager& manager);
    ~BusyScope();
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

   private:
    PerAppAudioManager& manager_;
  };

  // The collation key of a display name, computed once per name.
  const std::wstring& sortKey(const std::string& name);
  // Every write of the list goes through here, so a pass can tell whether an operation changed
  // the list while it was building its own.
  void setApps(std::vector<AudioApp> apps);
  std::optional<size_t> indexOf(const std::string& id) const;
  // Applies `change` to the listed record of `id`; false when the id is not listed.
  bool updateApp(const std::string& id, const std::function<void(AudioApp&)>& change);
  float restoreVolume(const std::string& id) const;
  // Volume, mute, routing and per-device volumes of a record from the tables (a new app).
  void applySavedState(AudioApp& app, float newAppVolume) const;
  // The level an app's chains play at before per-device volumes: a listed app's record, else
  // the tables (the default volume when it has none).
  PlaythroughEngine::StartLevel masterLevel(const std::string& id, float newAppVolume) const;
  // Builds the chains of a listed app that has none (discovery). `takesOverDirect`: the app plays
  // straight to its device now, and the chain there takes over seamlessly.
  void createTapsForApp(const AudioApp& app, float newAppVolume, bool takesOverDirect = false);
  // Builds the app's chains when it needs them and has none.
  void updateChains(const std::string& id);
  std::vector<std::string> routingOf(const std::string& id) const;
  // The engine's chain of the app on `uid`, if any (the engine must be present).
  std::shared_ptr<AppTapState> chain(const std::string& id, const std::string& uid) const;
  // Makes the app's chains match its routing (empty = the default output device). Chains this
  // builds start at their device's per-device volume, else at the app's current volume (or
  // `masterVolume` while the app is not listed yet), and muted when the app is.
  void reconcileTaps(const std::string& id, const std::vector<hal::ObjectID>& processObjectIDs,
                     float masterVolume);
  void reconcileTapsOnce(const std::string& id, const std::vector<std::string>& devices,
                         const std::vector<hal::ObjectID>& processObjectIDs, float masterVolume);

  hal::AudioHardware& hardware_;
  MainQueue& queue_;
  PreferencesStore& preferences_;
  Workspace& workspace_;
  ProcessInfo& processInfo_;
  SavedAppState saved_;

  Observable<std::vector<AudioApp>> audioApps_;
  Timer runningAppsMonitor_;
  Observable<VolumeTable> savedVolumes_;
  Observable<std::map<std::string, bool>> mutedStates_;
  Observable<VolumeTable> preMuteVolumes_;
  PlaythroughEngine* playthroughEngine_;
  AudioRecordingPermission* permission_;
  std::optional<hal::ListenerID> processListListener_;
  Observable<DateTable> lastSeenDates_;
  Observable<std::string> currentDeviceUID_;
  Observable<RoutingTable> savedRouting_;
  Observable<DeviceVolumeTable> savedPerDeviceVolumes_;

  AudioRecordingPermission::Observation permissionObservation_;
  std::unordered_map<std::string, std::wstring> sortKeys_;
  int busyDepth_ = 0;
  bool isRefreshPosted_ = false;
  bool isRefreshRequested_ = false;
  uint64_t appsRevision_ = 0;
  uint64_t passStartRevision_ = 0;
  // Queued tasks hold this weakly, so none runs after the manager is gone.
  std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

}  // namespace mixelot
