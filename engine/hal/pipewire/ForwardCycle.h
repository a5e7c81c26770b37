#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/hal/AudioHardware.h"

namespace mixelot::hal::pipewire {

// What one cycle of a forward filter does with the planar buffers PipeWire hands it: interleave
// the input channels, call the I/O block once, spread its output back over the output channels
// (silence while stopped). Kept apart from the filter node so that it runs without a daemon.
//
// Threads: process() runs on PipeWire's data thread and touches only the atomics and the scratch
// buffers; everything else runs on the main thread.
class ForwardCycle {
 public:
  static constexpr size_t kChannels = 2;
  // clock.quantum-limit: the most frames one cycle can carry.
  static constexpr uint32_t kMaxFrames = 8192;
  using Inputs = std::array<const float*, kChannels>;
  using Outputs = std::array<float*, kChannels>;

  ForwardCycle();
  ForwardCycle(const ForwardCycle&) = delete;
  ForwardCycle& operator=(const ForwardCycle&) = delete;

  // While stopped: the block the cycle calls (nullptr for none).
  void setBlock(const IOBlock* block) { block_.store(block, std::memory_order_seq_cst); }
  // From the next cycle on, the block is called.
  void start();
  // Returns once no cycle is inside the block any more; later cycles write silence.
  void stop();
  bool isStarted() const { return running_.load(std::memory_order_relaxed); }

  // A missing input channel reads as silence; a missing output channel is skipped.
  void process(const Inputs& in, const Outputs& out, uint32_t frames) noexcept;

 private:
  std::atomic<const IOBlock*> block_{nullptr};
  std::atomic<bool> running_{false};
  std::atomic<bool> inside_{false};
  // Sized once for the longest cycle, so a cycle never allocates.
  std::vector<float> scratchIn_;
  std::vector<float> scratchOut_;
};

}  // namespace mixelot::hal::pipewire
