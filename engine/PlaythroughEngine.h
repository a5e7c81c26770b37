#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/AppTapState.h"
#include "engine/hal/AudioHardware.h"
#include "platform/MainQueue.h"

namespace mixelot {

// Builds, adjusts and tears down the per-app chains. The app model decides which chains exist and
// what their volumes are. Main thread only.
class PlaythroughEngine {
 public:
  PlaythroughEngine(hal::AudioHardware& hardware, MainQueue& queue);
  ~PlaythroughEngine();
  PlaythroughEngine(const PlaythroughEngine&) = delete;
  PlaythroughEngine& operator=(const PlaythroughEngine&) = delete;

  // Builds one chain for the app on `deviceUID` (or the default output device when absent, empty
  // or unknown). A chain that exists already is left as it is.
  void createTap(const std::string& bundleID, const std::vector<hal::ObjectID>& processObjectIDs,
                 const std::optional<std::string>& deviceUID = std::nullopt);
  // Points every chain of the app at a new list of its process objects (an app that started or
  // ended a process), keeping the chains, their volumes and mute. A chain whose tap refuses the
  // new list is rebuilt with it.
  void updateTapProcesses(const std::string& bundleID,
                          const std::vector<hal::ObjectID>& processObjectIDs);
  void removeTap(const std::string& bundleID, const std::string& deviceUID);
  void removeTaps(const std::string& bundleID);
  bool hasTap(const std::string& bundleID) const;
  std::vector<std::string> activeDeviceUIDs(const std::string& bundleID) const;
  void setAppVolume(const std::string& bundleID, float volume);
  void setAppDeviceVolume(const std::string& bundleID, const std::string& deviceUID, float volume);
  void setAppMuted(const std::string& bundleID, bool muted);
  void stopAll();
  void refreshOutputDevice();

  bool permissionGranted() const { return permissionGranted_; }
  void setPermissionGranted(bool granted) { permissionGranted_ = granted; }

  hal::ObjectID realDeviceID() const { return realDeviceID_; }
  const std::string& realDeviceUID() const { return realDeviceUID_; }
  // Keyed by bundle identifier + "::" + device UID.
  const std::map<std::string, std::shared_ptr<AppTapState>>& appTaps() const { return appTaps_; }

  static std::string tapKey(const std::string& bundleID, const std::string& deviceUID);

 private:
  // The fixed teardown order of one chain: stop and destroy the I/O procedure, then the
  // aggregate device, then the tap.
  void releaseResources(AppTapState& state);
  bool deviceExists(const std::string& deviceUID);
  std::optional<uint32_t> outputStreamIndex();
  void waitUntilAlive(hal::ObjectID device);

  hal::AudioHardware& hardware_;
  MainQueue& queue_;
  std::map<std::string, std::shared_ptr<AppTapState>> appTaps_;
  hal::ObjectID realDeviceID_ = hal::kUnknownObject;
  std::string realDeviceUID_;
  bool permissionGranted_ = false;
  // Keys whose chain is being built while createTap waits for its aggregate device; the flag
  // says a removal asked for that chain meanwhile.
  std::map<std::string, bool> pending_;
  // Chains being rebuilt by updateTapProcesses, by key: the old state stands in for the new one
  // while it is built, so that a volume or mute set meanwhile is carried over to it.
  std::map<std::string, std::shared_ptr<AppTapState>> rebuilding_;
};

}  // namespace mixelot
