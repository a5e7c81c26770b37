#include "model/SavedAppState.h"

namespace mixelot {

std::optional<SavedAppState::VolumeTable> SavedAppState::loadVolumes(
    const std::string& deviceUID) const {
  if (auto perDevice = store_.nestedFloatTable(kDeviceSpecificVolumesKey)) {
    auto it = perDevice->find(deviceUID);
    if (it != perDevice->end()) return std::move(it->second);
  }
  return store_.floatTable(kSavedVolumesKey);
}

void SavedAppState::saveVolumes(const std::string& deviceUID, const VolumeTable& table) {
  auto perDevice = store_.nestedFloatTable(kDeviceSpecificVolumesKey).value_or(DeviceVolumeTable{});
  perDevice[deviceUID] = table;
  store_.set(kDeviceSpecificVolumesKey, perDevice);
  store_.set(kSavedVolumesKey, table);
}

SavedAppState::RoutingTable SavedAppState::loadRouting() {
  if (auto routing = store_.stringListTable(kAppDeviceRoutingKey)) return std::move(*routing);
  if (auto older = store_.stringTable(kAppDeviceRoutingKey)) {
    RoutingTable routing;
    for (auto& [bundleID, deviceUID] : *older) routing[bundleID] = {std::move(deviceUID)};
    saveRouting(routing);
    return routing;
  }
  return {};
}

void SavedAppState::saveRouting(const RoutingTable& table) {
  store_.set(kAppDeviceRoutingKey, table);
}

SavedAppState::DeviceVolumeTable SavedAppState::loadPerDeviceVolumes() const {
  return store_.nestedFloatTable(kAppPerDeviceVolumesKey).value_or(DeviceVolumeTable{});
}

void SavedAppState::savePerDeviceVolumes(const DeviceVolumeTable& table) {
  store_.set(kAppPerDeviceVolumesKey, table);
}

}  // namespace mixelot
