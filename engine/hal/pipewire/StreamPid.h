#pragma once

#include <sys/types.h>

#include <optional>

#include "engine/hal/pipewire/Graph.h"

namespace mixelot::hal::pipewire {

// The process an output stream plays for, from its client's properties; none when that cannot be
// told for sure (a remote or sandboxed app behind the PulseAudio server).
std::optional<pid_t> streamPid(const Graph& graph, const GraphNode& stream);

}  // namespace mixelot::hal::pipewire
