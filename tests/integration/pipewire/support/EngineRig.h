#pragma once

#include <string>
#include <utility>
#include <vector>

#include "engine/PlaythroughEngine.h"
#include "engine/hal/PropertyReads.h"
#include "engine/hal/pipewire/PipeWireAudioHardware.h"
#include "platform/PollMainQueue.h"

namespace mixelot::testsupport {

// The engine on the PipeWire backend with a main queue of its own, allowed to capture: what the
// chain and recovery suites build their chains with.
struct EngineRig {
  explicit EngineRig(hal::pipewire::PipeWireOptions options = {})
      : hardware(queue, std::move(options)), engine(hardware, queue) {
    engine.setPermissionGranted(true);
  }

  // The process objects of an app; with `playing`, only those whose output runs.
  std::vector<hal::ObjectID> processesOf(const std::string& app, bool playing = false) {
    namespace selector = hal::selector;
    std::vector<hal::ObjectID> found;
    auto processes = hal::readObjectList(hardware, hal::kSystemObject, {selector::kProcessObjects});
    for (auto process : processes.value_or(std::vector<hal::ObjectID>{}))
      if (hal::readString(hardware, process, {selector::kProcessBundleID}) == app &&
          (!playing ||
           hal::readUInt32(hardware, process,
                           {selector::kProcessIsRunningOutput, hal::scope::kOutput}) == 1u))
        found.push_back(process);
    return found;
  }

  PollMainQueue queue;
  hal::pipewire::PipeWireAudioHardware hardware;
  PlaythroughEngine engine;
};

}  // namespace mixelot::testsupport
