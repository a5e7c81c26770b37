#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/AppTapState.h"
#include "engine/ChainKey.h"
#include "engine/hal/AudioHardware.h"
#include "platform/MainQueue.h"

namespace mixelot {

// Builds, adjusts and tears down the per-app chains. The app model decides which chains exist and
// what their volumes are. Main thread only.
class PlaythroughEngine {
 public:
  // The name of every aggregate device we make starts with this, followed by the app's id; the
  // device list leaves such devices out.
  static constexpr std::string_view kAggregateNamePrefix = "Mixelot-";

  PlaythroughEngine(hal::AudioHardware& hardware, MainQueue& queue);
  ~PlaythroughEngine();
  PlaythroughEngine(const PlaythroughEngine&) = delete;
  PlaythroughEngine& operator=(const PlaythroughEngine&) = delete;

  // What a new chain plays at from its first cycle. Without it a chain starts at full volume,
  // unmuted, and only the caller's later writes bring it down.
  struct StartLevel {
    float volume = 1.0f;
    bool isMuted = false;
    // The app plays straight to the device until its streams reach the chain: the chain then
    // starts at unity, as the direct path plays, and ramps to its level only once sound arrives,
    // so that the change of path is neither heard as a jump nor lost while the streams move.
    bool takesOverDirect = false;
  };

  // Builds one chain for the app on `deviceUID` (or the default output device when absent, empty
  // or unknown). A chain that exists already is left as it is. A request for a chain that is
  // still being built joins that build, even when a removal had cancelled it meanwhile.
  void createTap(const std::string& bundleID, const std::vector<hal::ObjectID>& processObjectIDs,
                 const std::optional<std::string>& deviceUID = std::nullopt,
                 std::optional<StartLevel> start = std::nullopt);
  // Points every chain of the app at a new list of its process objects (an app that started or
  // ended a process), keeping the chains, their volumes and mute. A chain whose tap refuses the
  // new list is rebuilt with it, at the old chain's volume and mute (on the default output
  // device when its own device has gone).
  void updateTapProcesses(const std::string& bundleID,
                          const std::vector<hal::ObjectID>& processObjectIDs);
  void removeTap(const std::string& bundleID, const std::string& deviceUID);
  void removeTaps(const std::string& bundleID);
  bool hasTap(const std::string& bundleID) const;
  std::vector<std::string> activeDeviceUIDs(const std::string& bundleID) const;
  // The app's chain on the device; nullptr for none, and while it is still being built.
  std::shared_ptr<AppTapState> chain(const std::string& bundleID,
                                     const std::string& deviceUID) const;
  size_t chainCount() const { return appTaps_.size(); }
  void setAppVolume(const std::string& bundleID, float volume);
  void setAppDeviceVolume(const std::string& bundleID, const std::string& deviceUID, float volume);
  void setAppMuted(const std::string& bundleID, bool muted);
  void stopAll();
  void refreshOutputDevice();

  // Level meters. While metering is on, every chain (also those built later) records the peak
  // of what it plays; turning it off clears the levels.
  void setLevelMetering(bool on);
  bool isLevelMetering() const { return isLevelMetering_; }
  // Ends a sampling period: each chain's level becomes the peak it played since the last call.
  void sampleLevels();
  // The levels of the last period, 0...1 (a chain plays at most full scale unless its input is
  // louder): the largest of the app's chains, or of one chain; 0 when there is none.
  float appLevel(const std::string& bundleID) const;
  float deviceLevel(const std::string& bundleID, const std::string& deviceUID) const;

  bool permissionGranted() const { return permissionGranted_; }
  void setPermissionGranted(bool granted) { permissionGranted_ = granted; }

  const std::string& realDeviceUID() const { return realDeviceUID_; }

 private:
  // The fixed teardown order of one chain: stop and destroy the I/O procedure, then the
  // aggregate device, then the tap.
  void releaseResources(AppTapState& state);
  // createTap's work; returns the chain it stored, if any.
  std::shared_ptr<AppTapState> buildChain(const std::string& bundleID,
                                          const std::vector<hal::ObjectID>& processObjectIDs,
                                          const std::optional<std::string>& deviceUID,
                                          std::optional<StartLevel> start);
  // Every chain of the app, those still being built included, for the volume and mute setters.
  template <typename Visit>
  void forEachChain(const std::string& bundleID, Visit visit);
  bool deviceExists(const std::string& deviceUID);
  std::optional<uint32_t> outputStreamIndex();
  void waitUntilAlive(hal::ObjectID device);

  hal::AudioHardware& hardware_;
  MainQueue& queue_;
  std::map<ChainKey, std::shared_ptr<AppTapState>> appTaps_;
  hal::ObjectID realDeviceID_ = hal::kUnknownObject;
  std::string realDeviceUID_;
  bool permissionGranted_ = false;
  bool isLevelMetering_ = false;
  // A chain being built while createTap waits for its aggregate device. Volumes and mute set
  // meanwhile go to its state, so it starts with them.
  struct PendingBuild {
    std::shared_ptr<AppTapState> state;
    // The latest list asked for; a request that joined the build may bring a newer one.
    std::vector<hal::ObjectID> processObjectIDs;
    // A removal asked for the chain, and no request came after it.
    bool isCancelled = false;
  };
  std::map<ChainKey, PendingBuild> pending_;
};

}  // namespace mixelot
