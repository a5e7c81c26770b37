#pragma once

#include <cstdint>

#include "engine/hal/pipewire/Dict.h"

namespace mixelot::hal::pipewire {

// The transport type ('usb ', 'blue', 'bltn', 'hdmi', 'dprt', 'airp', or 0 for anything else) of
// an output device, from its node's properties and those of the device object it belongs to
// (`device` may be empty: virtual sinks have none).
uint32_t transportType(const Dict& node, const Dict& device);

}  // namespace mixelot::hal::pipewire
