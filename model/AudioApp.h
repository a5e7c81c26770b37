#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/MainQueue.h"

namespace mixelot {

// One row of the mixer: an application that is (or was a moment ago) playing sound. A value:
// views work on copies, and only PerAppAudioManager writes the list's fields.
struct AudioApp {
  std::string id;                   // bundle identifier; the key of every per-app table
  std::string name;                 // display name, "Unknown" when the application has none
  std::optional<std::string> icon;  // icon name, when the application has one
  float currentVolume = 1.0f;       // 0...1, 0 while muted
  bool isMuted = false;
  TimePoint lastActiveDate{};
  std::vector<uint32_t> processObjectIDs;             // in discovery order, no duplicates
  std::vector<std::string> selectedOutputDeviceUIDs;  // empty = follow the default device
  std::map<std::string, float> perDeviceVolumes;      // device UID -> volume

  // Equality is what the mixer must redraw for: name, icon, lastActiveDate and the process
  // objects take no part, so a change of those alone republishes nothing.
  friend bool operator==(const AudioApp& a, const AudioApp& b) {
    return a.id == b.id && a.currentVolume == b.currentVolume && a.isMuted == b.isMuted &&
           a.selectedOutputDeviceUIDs == b.selectedOutputDeviceUIDs &&
           a.perDeviceVolumes == b.perDeviceVolumes;
  }
};

}  // namespace mixelot
