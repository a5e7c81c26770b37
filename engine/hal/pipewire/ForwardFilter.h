#pragma once

#include <pipewire/filter.h>
#include <pipewire/pipewire.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/hal/AudioHardware.h"
#include "engine/hal/pipewire/PwHandles.h"

namespace mixelot::hal::pipewire {

// The node behind one aggregate device: a pw_filter with a stereo input (linked from a tap
// sink's monitor) and a stereo output (linked to an output device), whose real-time process
// hands both channels to the I/O block as one interleaved buffer per direction, as the aggregate
// devices the engine was designed on deliver them, so the channels of a frame ramp together.
//
// Threads: everything but the process callback runs on the main thread; the process callback
// runs on PipeWire's data thread and touches only the atomics and the scratch buffers.
class ForwardFilter {
 public:
  static constexpr size_t kChannels = 2;
  static constexpr std::array<const char*, kChannels> kChannelNames = {"FL", "FR"};
  // clock.quantum-limit: the most frames one cycle can carry.
  static constexpr uint32_t kMaxFrames = 8192;

  // Creates and connects the filter node. `failed()` tells whether that worked.
  ForwardFilter(pw_core* core, const std::string& nodeName, const std::string& description);
  ~ForwardFilter();
  ForwardFilter(const ForwardFilter&) = delete;
  ForwardFilter& operator=(const ForwardFilter&) = delete;

  bool failed() const { return failed_; }
  // The node's global id once the server has it.
  std::optional<uint32_t> nodeId() const;

  // Main thread, while stopped: the block the process callback calls (nullptr for none).
  void setBlock(const IOBlock* block) { block_.store(block, std::memory_order_seq_cst); }
  // From the next cycle on, the block is called.
  void start();
  // Returns once no cycle is inside the block any more; later cycles write silence.
  void stop();
  bool isStarted() const { return running_.load(std::memory_order_relaxed); }

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

  std::atomic<const IOBlock*> block_{nullptr};
  std::atomic<bool> running_{false};
  std::atomic<bool> inside_{false};
  // Sized once for the longest cycle, so the process callback never allocates.
  std::vector<float> scratchIn_;
  std::vector<float> scratchOut_;
};

}  // namespace mixelot::hal::pipewire
