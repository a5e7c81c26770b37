#pragma once

#include <functional>
#include <string>

namespace mixelot {

// One real output device a user can route an app to. A plain value shared by the engine (which
// builds it) and the model and views (which show it), so it depends on nothing.
struct OutputDevice {
  std::string id;    // the device UID: the key in routing and per-device volume tables
  std::string name;  // display name
  std::string icon;  // symbol name chosen from the kind of device

  friend bool operator==(const OutputDevice&, const OutputDevice&) = default;
};

}  // namespace mixelot

template <>
struct std::hash<mixelot::OutputDevice> {
  size_t operator()(const mixelot::OutputDevice& device) const noexcept {
    size_t seed = std::hash<std::string>{}(device.id);
    for (const auto* part : {&device.name, &device.icon})
      seed ^= std::hash<std::string>{}(*part) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
    return seed;
  }
};
