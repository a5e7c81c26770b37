#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/PreferencesStore.h"

namespace mixelot {

// The per-application tables kept in the preferences store, so that an application that plays
// again, also after a restart, comes back with its volume (per output device), routing and
// per-device volumes. Every table is read whole: a table with one entry of the wrong shape counts
// as absent, since a half-understood table could send an app to the wrong device or volume.
// Volumes come back clamped to 0...1 (a hand-edited 5.0 must not show as 500 %).
class SavedAppState {
 public:
  using VolumeTable = std::map<std::string, float>;                      // bundle id -> volume
  using RoutingTable = std::map<std::string, std::vector<std::string>>;  // bundle id -> UIDs
  using DeviceVolumeTable = std::map<std::string, VolumeTable>;          // outer key -> table

  explicit SavedAppState(PreferencesStore& store) : store_(store) {}

  // The volume table remembered for `deviceUID`, else the table last saved on any device;
  // absent when neither is stored (whole). Without a device, the table last saved.
  std::optional<VolumeTable> loadVolumes(const std::optional<std::string>& deviceUID) const;
  // Stores `table` as the table of `deviceUID` and as the table last saved; without a device
  // (none known yet), only as the table last saved.
  void saveVolumes(const std::optional<std::string>& deviceUID, const VolumeTable& table);

  // The routing table; empty when absent or malformed. A table in the older form (one device UID
  // per app) is converted to one-element lists and written back in the list form at once.
  RoutingTable loadRouting();
  void saveRouting(const RoutingTable& table);

  // Bundle id -> (device UID -> volume); empty when absent or malformed.
  DeviceVolumeTable loadPerDeviceVolumes() const;
  void savePerDeviceVolumes(const DeviceVolumeTable& table);

 private:
  PreferencesStore& store_;
};

}  // namespace mixelot
