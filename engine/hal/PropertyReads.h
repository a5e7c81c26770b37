#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/hal/AudioHardware.h"

namespace mixelot::hal {

// Typed reads: std::nullopt whenever the call fails or the value has another shape, so callers
// write their fallback with value_or.

std::optional<uint32_t> readUInt32(AudioHardware& hardware, ObjectID object,
                                   const PropertyAddress& address);
std::optional<int32_t> readInt32(AudioHardware& hardware, ObjectID object,
                                 const PropertyAddress& address);
std::optional<float> readFloat(AudioHardware& hardware, ObjectID object,
                               const PropertyAddress& address);
std::optional<std::string> readString(AudioHardware& hardware, ObjectID object,
                                      const PropertyAddress& address);
// Reads the size first, as a list's size gives its length: a failed size read or a size of 0
// gives std::nullopt and an empty list respectively.
std::optional<std::vector<ObjectID>> readObjectList(AudioHardware& hardware, ObjectID object,
                                                    const PropertyAddress& address);

Status writeFloat(AudioHardware& hardware, ObjectID object, const PropertyAddress& address,
                  float value);
Status writeUInt32(AudioHardware& hardware, ObjectID object, const PropertyAddress& address,
                   uint32_t value);

}  // namespace mixelot::hal
