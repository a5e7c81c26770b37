#pragma once

#include <compare>
#include <cstdint>

namespace mixelot::hal::pipewire {

// A PipeWire global's id (a node, port, client, device, link or metadata subject): live globals
// share one id space, and an id goes to the next object once its global is removed. Its own type,
// so it is never taken for an ObjectID, a serial, a PID or a count; the PipeWire calls and
// callbacks convert at the boundary.
struct GlobalId {
  uint32_t value = 0;

  auto operator<=>(const GlobalId&) const = default;
};

}  // namespace mixelot::hal::pipewire
