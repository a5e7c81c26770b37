#pragma once

// The records behind the taps and aggregate devices of PipeWireAudioHardware; shared by its
// source files only.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/hal/pipewire/ForwardFilter.h"
#include "engine/hal/pipewire/PipeWireAudioHardware.h"
#include "engine/hal/pipewire/ProxyListener.h"

namespace mixelot::hal::pipewire {

// The null sink the streams of a set of processes are moved onto while a tap of them is read.
// Shared by every tap (and so every aggregate device) of the same processes: a stream can sit on
// one sink only, and the sink's monitor can feed any number of filters.
struct PipeWireAudioHardware::TapSink {
  PipeWireAudioHardware* owner = nullptr;
  uint64_t generation = 0;         // the connection it was made on
  uint64_t managerGeneration = 0;  // the session manager that saw its node made
  std::vector<pid_t> pids;         // sorted
  std::string name;                // node.name; what the streams' target.object names
  std::optional<uint32_t> nodeId;
  bool failed = false;
  ProxyListener<pw_proxy> proxy;
};

struct PipeWireAudioHardware::Tap {
  ObjectID id = kUnknownObject;
  TapDescription description;
  std::shared_ptr<TapSink> sink;
};

// One port-to-port link we made (link-factory links one pair per object).
struct PipeWireAudioHardware::Link {
  PipeWireAudioHardware* owner = nullptr;
  uint32_t outputPort = 0;
  uint32_t inputPort = 0;
  bool bound = false;
  bool failed = false;
  ProxyListener<pw_proxy> proxy;
};

struct PipeWireAudioHardware::Aggregate {
  ObjectID id = kUnknownObject;
  uint64_t generation = 0;
  AggregateDescription description;
  std::string deviceName;  // node.name of the device it plays to
  std::shared_ptr<TapSink> sink;

  std::optional<IOProcID> ioProc;
  std::string queueLabel;
  bool started = false;
  // Declared before the filter, which calls it until it is destroyed.
  std::unique_ptr<IOBlock> block;
  std::unique_ptr<ForwardFilter> filter;
  // Declared after the filter: the links go first.
  std::vector<std::unique_ptr<Link>> links;
  // Link sets tried for the current set of ports; bounded so a link the daemon keeps refusing
  // is not asked for forever.
  int linkAttempts = 0;

  // Linked all the way from the tap sink to the device.
  bool isAlive() const {
    if (!filter || filter->failed() || links.empty()) return false;
    for (const auto& link : links)
      if (!link->bound || link->failed) return false;
    return true;
  }
};

}  // namespace mixelot::hal::pipewire
