#pragma once

// The records behind the taps and aggregate devices of PipeWireAudioHardware; shared by its
// source files only.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/hal/pipewire/ForwardFilter.h"
#include "engine/hal/pipewire/Linker.h"
#include "engine/hal/pipewire/PipeWireAudioHardware.h"
#include "engine/hal/pipewire/TapSink.h"

namespace mixelot::hal::pipewire {

struct PipeWireAudioHardware::Tap {
  ObjectID id = kUnknownObject;
  TapDescription description;
  std::shared_ptr<TapSink> sink;
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
  Linker::Links links;

  // Linked all the way from the tap sink to the device.
  bool isAlive() const { return filter && !filter->failed() && links.areUp(); }
};

}  // namespace mixelot::hal::pipewire
