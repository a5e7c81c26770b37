// Cost of the I/O block's gain, without and with the level meter, against a plain memcpy of the
// same bytes, on one cycle's worth of 1,024 interleaved stereo frames, and the ramp's largest
// distance from the per-sample formula evaluated in double precision.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "engine/Gain.h"

namespace {

constexpr size_t kFrames = 1024;
constexpr size_t kSamples = kFrames * 2;
constexpr int kCallsPerBatch = 64;
constexpr int kBatches = 2000;

// Makes the compiler assume the memory behind `p` is read and changed, so no call is dropped or
// hoisted out of the timing loop.
inline void escape(void* p) {
  asm volatile("" : : "g"(p) : "memory");
}

// Minimum nanoseconds per call of each piece of work. The pieces take turns batch by batch, so a
// busy spell of the machine hits all of them alike instead of skewing one ratio.
template <size_t N>
std::array<double, N> minimumNanoseconds(const std::array<std::function<void()>, N>& works) {
  std::array<double, N> best;
  best.fill(1e300);
  for (int batch = 0; batch < kBatches; ++batch) {
    for (size_t w = 0; w < N; ++w) {
      const auto start = std::chrono::steady_clock::now();
      for (int call = 0; call < kCallsPerBatch; ++call) works[w]();
      const auto stop = std::chrono::steady_clock::now();
      best[w] = std::min(best[w], std::chrono::duration<double, std::nano>(stop - start).count());
    }
  }
  for (double& value : best) value /= kCallsPerBatch;
  return best;
}

double rampMaxError(const std::array<float, kSamples>& input) {
  // A full mute and a partial raise, each over many buffers so the error has time to build up and
  // the mute reaches its snap point.
  double worst = 0.0;
  std::vector<float> output(kSamples);
  for (auto [from, to] : {std::pair{1.0f, 0.0f}, std::pair{0.1f, 0.8f}}) {
    float gain = from;
    double reference = from;
    for (int buffer = 0; buffer < 40; ++buffer) {
      gain = mixelot::gain::applyRamp(input.data(), output.data(), kSamples, gain, to);
      for (size_t i = 0; i < kSamples; ++i) {
        reference += (static_cast<double>(to) - reference) * 0.002;
        worst = std::max(worst, std::fabs(output[i] - input[i] * reference));
      }
    }
  }
  return worst;
}

}  // namespace

int main() {
  std::mt19937 random(42);
  std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
  // Cache-line aligned, as an audio server hands out its buffers, and apart by more than 4 KiB
  // modulo a page so loads and stores of the same index do not falsely alias.
  struct alignas(64) Buffers {
    std::array<float, kSamples> input;
    std::array<float, 16> gap;
    std::array<float, kSamples> output;
  };
  static Buffers buffers;
  auto& [input, gap, output] = buffers;
  for (auto& value : input) value = sample(random);

  mixelot::hal::AudioBuffer in{2, static_cast<uint32_t>(kSamples * sizeof(float)), input.data()};
  mixelot::hal::AudioBuffer out{2, in.dataByteSize, output.data()};
  // Read through a volatile so the copy is a real memcpy call of unknown size, as in the block.
  volatile size_t bytes = in.dataByteSize;

  float peak = 0.0f;
  const auto [copy, unity, ramp, unityMeter, rampMeter] = minimumNanoseconds<5>({
      [&] {
        std::memcpy(output.data(), input.data(), bytes);
        escape(output.data());
      },
      [&] {
        mixelot::gain::processBuffers({&in, 1}, {&out, 1}, 1.0f, 1.0f);
        escape(output.data());
      },
      // Gain far from the target: every sample of the buffer is on the ramp.
      [&] {
        mixelot::gain::processBuffers({&in, 1}, {&out, 1}, 1.0f, 0.0f);
        escape(output.data());
      },
      // The same with the level meter, as the I/O block runs them.
      [&] {
        mixelot::gain::processBuffers({&in, 1}, {&out, 1}, 1.0f, 1.0f, &peak);
        escape(output.data());
        escape(&peak);
      },
      [&] {
        mixelot::gain::processBuffers({&in, 1}, {&out, 1}, 1.0f, 0.0f, &peak);
        escape(output.data());
        escape(&peak);
      },
  });

  std::printf("BENCH gain.unity_vs_memcpy %.3f ratio\n", unity / copy);
  std::printf("BENCH gain.ramp_vs_memcpy %.3f ratio\n", ramp / copy);
  std::printf("BENCH gain.unity_meter_vs_memcpy %.3f ratio\n", unityMeter / copy);
  std::printf("BENCH gain.ramp_meter_vs_memcpy %.3f ratio\n", rampMeter / copy);
  std::printf("BENCH gain.ramp_max_error %.3g abs\n", rampMaxError(input));
  std::fprintf(stderr,
               "memcpy %.1f ns, unity %.1f ns, ramp %.1f ns, metered unity %.1f ns, metered ramp "
               "%.1f ns per %zu-frame stereo buffer\n",
               copy, unity, ramp, unityMeter, rampMeter, kFrames);
  return 0;
}
