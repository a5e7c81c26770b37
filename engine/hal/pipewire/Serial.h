#pragma once

#include <compare>
#include <cstdint>

namespace mixelot::hal::pipewire {

// An object's object.serial: unlike its id, which the daemon hands to the next object once this
// one goes, never reused in a daemon's life. Its own type, so it is never compared with an id.
struct Serial {
  uint64_t value = 0;

  auto operator<=>(const Serial&) const = default;
};

}  // namespace mixelot::hal::pipewire
