#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/hal/pipewire/GlobalId.h"
#include "engine/hal/pipewire/ProxyListener.h"
#include "engine/hal/pipewire/StreamPid.h"

namespace mixelot::hal::pipewire {

class Linker;

// The null sink the streams of a set of processes are moved onto while a tap of them is read.
// Shared by every tap (and so every aggregate device) of the same processes and the same name
// (one app's chains on several devices): a stream can sit on one sink only, and the sink's
// monitor can feed any number of filters. Never shared between names: a new process that was
// given the PID of an app that just ended must not play through the old app's chains. Made by
// the Linker.
struct TapSink {
  Linker* owner = nullptr;
  uint64_t generation = 0;            // the connection it was made on
  uint64_t managerGeneration = 0;     // the session manager that saw its node made
  std::string tapName;                // the taps' name (the app's id)
  std::vector<ProcessKey> processes;  // sorted
  // The applications of every process it was given: a new stream of any of them belongs here
  // too, from whichever process it comes.
  std::set<std::string> applications;
  std::string name;  // node.name; what the streams' target.object names
  std::optional<GlobalId> nodeId;
  bool failed = false;
  ProxyListener<pw_proxy> proxy;
};

}  // namespace mixelot::hal::pipewire
