#include "model/SavedAppState.h"

#include "engine/Volume.h"
#include "platform/Preferences.h"

namespace mixelot {
namespace {

SavedAppState::VolumeTable clamped(SavedAppState::VolumeTable table) {
  for (auto& [id, volume] : table) volume = clampVolume(volume);
  return table;
}

}  // namespace

std::optional<SavedAppState::VolumeTable> SavedAppState::loadVolumes(
    const std::optional<std::string>& deviceUID) const {
  auto perDevice =
      deviceUID ? store_.nestedFloatTable(prefs::kDeviceSpecificVolumes) : std::nullopt;
  if (perDevice) {
    auto it = perDevice->find(*deviceUID);
    if (it != perDevice->end()) return clamped(std::move(it->second));
  }
  if (auto table = store_.floatTable(prefs::kSavedVolumes)) return clamped(std::move(*table));
  return std::nullopt;
}

void SavedAppState::saveVolumes(const std::optional<std::string>& deviceUID,
                                const VolumeTable& table) {
  if (deviceUID) {
    auto perDevice =
        store_.nestedFloatTable(prefs::kDeviceSpecificVolumes).value_or(DeviceVolumeTable{});
    perDevice[*deviceUID] = table;
    store_.set(prefs::kDeviceSpecificVolumes, perDevice);
  }
  store_.set(prefs::kSavedVolumes, table);
}

SavedAppState::RoutingTable SavedAppState::loadRouting() {
  if (auto routing = store_.stringListTable(prefs::kAppDeviceRouting)) return std::move(*routing);
  if (auto older = store_.stringTable(prefs::kAppDeviceRouting)) {
    RoutingTable routing;
    for (auto& [bundleID, deviceUID] : *older) routing[bundleID] = {std::move(deviceUID)};
    saveRouting(routing);
    return routing;
  }
  return {};
}

void SavedAppState::saveRouting(const RoutingTable& table) {
  store_.set(prefs::kAppDeviceRouting, table);
}

SavedAppState::DeviceVolumeTable SavedAppState::loadPerDeviceVolumes() const {
  auto table = store_.nestedFloatTable(prefs::kAppPerDeviceVolumes).value_or(DeviceVolumeTable{});
  for (auto& [id, volumes] : table) volumes = clamped(std::move(volumes));
  return table;
}

void SavedAppState::savePerDeviceVolumes(const DeviceVolumeTable& table) {
  store_.set(prefs::kAppPerDeviceVolumes, table);
}

}  // namespace mixelot
