#include "engine/hal/pipewire/ForwardCycle.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <thread>

namespace mixelot::hal::pipewire {

ForwardCycle::ForwardCycle()
    : scratchIn_(kMaxFrames * kChannels), scratchOut_(kMaxFrames * kChannels) {}

void ForwardCycle::start() {
  running_.store(true, std::memory_order_seq_cst);
}

void ForwardCycle::stop() {
  running_.store(false, std::memory_order_seq_cst);
  // A cycle that saw `running_` set before the store above is inside the block now (its
  // `inside_` store precedes its `running_` load); wait until it has left. Cycles after it see
  // `running_` cleared. A cycle lasts microseconds, so yielding beats a blocking hand-off.
  while (inside_.load(std::memory_order_seq_cst)) std::this_thread::yield();
}

void ForwardCycle::process(const Inputs& in, const Outputs& out, uint32_t frames) noexcept {
  // A cycle longer than the quantum limit cannot happen; should it, the tail stays silent.
  const uint32_t n = std::min(frames, kMaxFrames);

  inside_.store(true, std::memory_order_seq_cst);
  const IOBlock* block = block_.load(std::memory_order_seq_cst);
  if (running_.load(std::memory_order_seq_cst) && block && n > 0) {
    float* interleaved = scratchIn_.data();
    for (size_t c = 0; c < kChannels; ++c) {
      if (in[c]) {
        for (uint32_t i = 0; i < n; ++i) interleaved[i * kChannels + c] = in[c][i];
      } else {
        for (uint32_t i = 0; i < n; ++i) interleaved[i * kChannels + c] = 0.0f;
      }
    }
    const uint32_t bytes = n * static_cast<uint32_t>(kChannels * sizeof(float));
    const AudioBuffer input{kChannels, bytes, scratchIn_.data()};
    AudioBuffer output{kChannels, bytes, scratchOut_.data()};
    (*block)(std::span<const AudioBuffer>(&input, 1), std::span<AudioBuffer>(&output, 1));
    const float* result = scratchOut_.data();
    for (size_t c = 0; c < kChannels; ++c) {
      if (!out[c]) continue;
      for (uint32_t i = 0; i < n; ++i) out[c][i] = result[i * kChannels + c];
      if (frames > n) std::memset(out[c] + n, 0, (frames - n) * sizeof(float));
    }
  } else {
    for (size_t c = 0; c < kChannels; ++c)
      if (out[c]) std::memset(out[c], 0, frames * sizeof(float));
  }
  inside_.store(false, std::memory_order_release);
}

}  // namespace mixelot::hal::pipewire
