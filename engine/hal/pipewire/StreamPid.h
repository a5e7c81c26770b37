#pragma once

#include <sys/types.h>

#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "engine/hal/pipewire/Graph.h"

namespace mixelot::hal::pipewire {

// One process for good: its pid and when it started (0 when that could not be read). A pid alone
// names a new process once the old one has ended, and must not hand it the old one's chains.
struct ProcessKey {
  pid_t pid = 0;
  uint64_t startTime = 0;
  friend auto operator<=>(const ProcessKey&, const ProcessKey&) = default;
};

// How the host sees processes: when one started, and which host process a sandboxed app's
// process is (by the app id and its pid inside the sandbox). Unset members know nothing.
struct ProcessLookups {
  std::function<std::optional<uint64_t>(pid_t)> startTime;
  std::function<std::optional<pid_t>(std::string_view appId, pid_t sandboxPid)> sandboxHostPid;

  ProcessKey key(pid_t pid) const { return {pid, startTime ? startTime(pid).value_or(0) : 0}; }
};

// The host process an output stream plays for, from its client's properties; none when that
// cannot be told for sure (a remote app behind the PulseAudio server, or a sandboxed one whose
// host process was not found).
std::optional<pid_t> streamPid(const Graph& graph, const GraphNode& stream,
                               const ProcessLookups& lookups = {});

}  // namespace mixelot::hal::pipewire
