#include "engine/hal/pipewire/TransportType.h"

#include <algorithm>
#include <array>
#include <string>

#include "engine/hal/AudioHardware.h"

namespace mixelot::hal::pipewire {
namespace {

std::string lowered(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

}  // namespace

uint32_t transportType(const Dict& node, const Dict& device) {
  // The node carries what the session manager copied from its device; the device object has the
  // rest (bus, form factor). Either may be missing a key.
  auto get = [&](std::string_view key) {
    std::string_view value = lookup(node, key);
    return value.empty() ? lookup(device, key) : value;
  };
  const std::string api = lowered(get("device.api"));
  const std::string bus = lowered(get("device.bus"));
  const std::string name = lowered(get("node.name"));

  if (api == "bluez5" || bus == "bluetooth" || name.starts_with("bluez_output.")) {
    return transport::kBluetooth;
  }
  if (api == "raop" || name.starts_with("raop_sink.") || !get("raop.ip").empty()) {
    return transport::kAirPlay;
  }

  // Display outputs first: an HDMI port sits on a PCI (or USB) card like the built-in speakers.
  // ALSA names them in the profile ("hdmi-stereo-extra1"), the PCM path ("hdmi:0,3") or the
  // port; DisplayPort connectors mostly show up as HDMI PCMs, but some drivers say "DisplayPort".
  const std::array<std::string, 6> descriptors = {
      lowered(get("device.profile.name")), lowered(get("device.profile.description")),
      lowered(get("api.alsa.path")),       lowered(get("api.alsa.pcm.name")),
      lowered(get("node.description")),    name};
  for (const auto& text : descriptors) {
    if (contains(text, "displayport") || text.starts_with("dp-") || contains(text, "-dp-")) {
      return transport::kDisplayPort;
    }
  }
  for (const auto& text : descriptors) {
    if (contains(text, "hdmi")) return transport::kHDMI;
  }

  if (bus == "usb" || name.starts_with("alsa_output.usb-")) return transport::kUSB;
  const std::string formFactor = lowered(get("device.form-factor"));
  if (bus == "pci" || bus == "platform" || formFactor == "internal" ||
      name.starts_with("alsa_output.pci-") || name.starts_with("alsa_output.platform-")) {
    return transport::kBuiltIn;
  }
  return transport::kUnknown;
}

}  // namespace mixelot::hal::pipewire
