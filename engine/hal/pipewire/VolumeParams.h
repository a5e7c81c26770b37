#pragma once

#include <spa/pod/pod.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace mixelot::hal::pipewire {

// The volume part of a node's (or a device route's) Props: one linear gain per channel and the
// mute switch. A field the param does not carry stays empty.
struct VolumeState {
  std::optional<std::vector<float>> channelVolumes;
  std::optional<bool> mute;
  friend bool operator==(const VolumeState&, const VolumeState&) = default;
};

// One output route of a device (ALSA card, Bluetooth): where the session manager keeps the volume
// of the node that plays through it, saved per port.
struct DeviceRoute {
  int32_t index = -1;
  int32_t device = -1;  // the route's card device; a node names it as card.profile.device
  bool isOutput = false;
  VolumeState volume;
};

// The desktop mixers (wpctl, the Plasma and GNOME applets) show a channel's linear gain g as the
// cube root of g; our device volume uses the same scale so the percentages agree.
float cubicFromLinear(float linear);
float linearFromCubic(float cubic);

// Reads a SPA_PARAM_Props object; nothing when `param` is not one.
std::optional<VolumeState> parseVolumeProps(const spa_pod* param);
// Reads a SPA_PARAM_Route object; nothing when `param` is not one.
std::optional<DeviceRoute> parseRoute(const spa_pod* param);

// A SPA_PARAM_Props object with the fields of `volume` that are set, built into `buffer`.
const spa_pod* buildVolumeProps(const VolumeState& volume, std::vector<uint8_t>& buffer);
// A SPA_PARAM_Route object that sets the route's volume and asks the device to save it.
const spa_pod* buildRouteVolume(const DeviceRoute& route, const VolumeState& volume,
                                std::vector<uint8_t>& buffer);

}  // namespace mixelot::hal::pipewire
