#pragma once

#include <pipewire/filter.h>
#include <pipewire/pipewire.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "engine/hal/AudioHardware.h"
#include "engine/hal/pipewire/ForwardCycle.h"
#include "engine/hal/pipewire/GlobalId.h"
#include "engine/hal/pipewire/PwHandles.h"

namespace mixelot::hal::pipewire {

// The node behind one aggregate device: a pw_filter with a stereo input (linked from a tap
// sink's monitor) and a stereo output (linked to an output device), whose real-time process
// hands both channels to the I/O block as one interleaved buffer per direction, as the aggregate
// devices the engine was designed on deliver them, so the channels of a frame ramp together.
//
// Threads: everything but the process callback runs on the main thread; the process callback
// runs on PipeWire's data thread and touches only the cycle (ForwardCycle).
class ForwardFilter {
 public:
  static constexpr size_t kChannels = ForwardCycle::kChannels;
  static constexpr std::array<const char*, kChannels> kChannelNames = {"FL", "FR"};

  // Creates and connects the filter node. `failed()` tells whether that worked.
  ForwardFilter(pw_core* core, const std::string& nodeName, const std::string& description);
  ~ForwardFilter();
  ForwardFilter(const ForwardFilter&) = delete;
  ForwardFilter& operator=(const ForwardFilter&) = delete;

  bool failed() const { return failed_; }
  // The node's global id once the server has it.
  std::optional<GlobalId> nodeId() const;

  // Main thread, while stopped: the block the process callback calls (nullptr for none).
  void setBlock(const IOBlock* block) { cycle_.setBlock(block); }
  // From the next cycle on, the block is called.
  void start() { cycle_.start(); }
  // Returns once no cycle is inside the block any more; later cycles write silence.
  void stop() { cycle_.stop(); }
  bool isStarted() const { return cycle_.isStarted(); }

 private:
  struct Port {
    ForwardFilter* owner;
  };
  static const pw_filter_events kEvents;
  static void onProcess(void* data, spa_io_position* position);
  static void onStateChanged(void* data, pw_filter_state old, pw_filter_state state,
                             const char* error);
  void process(uint32_t frames) noexcept;

  FilterHandle filter_;
  Hook hook_;
  std::array<void*, kChannels> inputs_{};
  std::array<void*, kChannels> outputs_{};
  bool failed_ = false;
  ForwardCycle cycle_;
};

}  // namespace mixelot::hal::pipewire
