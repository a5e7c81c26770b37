#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/hal/pipewire/GlobalId.h"
#include "engine/hal/pipewire/ProxyListener.h"

namespace mixelot::hal::pipewire {

class Linker;

// The null sink the streams of a set of processes are moved onto while a tap of them is read.
// Shared by every tap (and so every aggregate device) of the same processes: a stream can sit on
// one sink only, and the sink's monitor can feed any number of filters. Made by the Linker.
struct TapSink {
  Linker* owner = nullptr;
  uint64_t generation = 0;         // the connection it was made on
  uint64_t managerGeneration = 0;  // the session manager that saw its node made
  std::vector<pid_t> pids;         // sorted
  // The applications of every process it was given: a new stream of any of them belongs here
  // too, from whichever process it comes.
  std::set<std::string> applications;
  std::string name;  // node.name; what the streams' target.object names
  std::optional<GlobalId> nodeId;
  bool failed = false;
  ProxyListener<pw_proxy> proxy;
};

}  // namespace mixelot::hal::pipewire
