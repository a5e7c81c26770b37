#include "engine/Gain.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

// Clones of the kernels for wider vector units, picked once at load time; the shipped binary
// still runs on any x86-64. Not under the thread sanitizer: its runtime is not ready when the
// clone resolvers run at load time, and the program crashes before main.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define MIXELOT_THREAD_SANITIZER 1
#endif
#endif
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__SANITIZE_THREAD__) && \
    !defined(MIXELOT_THREAD_SANITIZER)
#define MIXELOT_VECTOR_CLONES \
  __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define MIXELOT_VECTOR_CLONES
#endif

namespace mixelot::gain {

namespace {

// The ramp g += (t - g) * step, run per sample, has a closed form: after k samples the distance to
// the target is d * r^k with r = 1 - step. Evaluating that from a table of powers gives every
// sample its gain independently of the one before, so a block of samples is plain vector work;
// only the distance carried from block to block is a serial multiply, kept in double so it does
// not drift from the formula over long ramps.
constexpr size_t kBlock = 64;
constexpr double kRatio = 1.0 - static_cast<double>(kRampStep);

struct Powers {
  std::array<float, kBlock> r;           // r^1 ... r^kBlock
  std::array<double, kBlock + 1> exact;  // r^0 ... r^kBlock
};

constexpr Powers makePowers() {
  Powers powers{};
  double power = 1.0;
  powers.exact[0] = power;
  for (size_t k = 1; k <= kBlock; ++k) {
    power *= kRatio;
    powers.exact[k] = power;
    powers.r[k - 1] = static_cast<float>(power);
  }
  return powers;
}

constexpr Powers kPowers = makePowers();

// Once the gain is this close to its target, no 32-bit sample at full scale could show the
// difference (it is half a step of the 24-bit mantissa), so the ramp snaps to the target. Without
// this a ramp towards 0 would creep on into subnormal gains, which are many times slower to
// multiply and inaudible anyway.
constexpr double kSnapDistance = 1.0 / (1 << 24);

// `count` is a multiple of kBlock. Returns the distance to the target after the samples written,
// or 0 when it fell below kSnapDistance; `done` is how many samples were written.
MIXELOT_VECTOR_CLONES
double rampBlocks(const float* __restrict input, float* __restrict output, size_t count,
                  float target, double distance, size_t& done) noexcept {
  size_t i = 0;
  for (; i < count; i += kBlock) {
    if (std::fabs(distance) < kSnapDistance) {
      distance = 0.0;
      break;
    }
    const float d = static_cast<float>(distance);
#pragma GCC unroll 64
    for (size_t j = 0; j < kBlock; ++j) output[i + j] = input[i + j] * (target + d * kPowers.r[j]);
    distance *= kPowers.exact[kBlock];
  }
  done = i;
  return distance;
}

MIXELOT_VECTOR_CLONES
void scale(const float* __restrict input, float* __restrict output, size_t count,
           float factor) noexcept {
  for (size_t i = 0; i < count; ++i) output[i] = input[i] * factor;
}

}  // namespace

bool isUnity(float gain, float target) noexcept {
  return std::fabs(target - 1.0f) < kUnityTolerance && std::fabs(gain - 1.0f) < kUnityTolerance;
}

float applyRamp(const float* input, float* output, size_t count, float gain,
                float target) noexcept {
  double distance = static_cast<double>(gain) - static_cast<double>(target);
  size_t done = 0;
  if (distance != 0.0)
    distance = rampBlocks(input, output, count - count % kBlock, target, distance, done);

  if (distance != 0.0 && std::fabs(distance) >= kSnapDistance) {
    // The tail, shorter than a block.
    const size_t tail = count - done;
    const float d = static_cast<float>(distance);
    for (size_t j = 0; j < tail; ++j)
      output[done + j] = input[done + j] * (target + d * kPowers.r[j]);
    distance *= kPowers.exact[tail];
    done = count;
  }
  if (done < count) {
    // At the target: a constant gain for the rest.
    if (target == 0.0f)
      std::memset(output + done, 0, (count - done) * sizeof(float));
    else
      scale(input + done, output + done, count - done, target);
  }
  if (std::fabs(distance) < kSnapDistance) return target;
  return static_cast<float>(static_cast<double>(target) + distance);
}

float processBuffers(std::span<const hal::AudioBuffer> input, std::span<hal::AudioBuffer> output,
                     float gain, float target) noexcept {
  const size_t n = std::min(input.size(), output.size());
  for (size_t i = 0; i < output.size(); ++i) {
    hal::AudioBuffer& out = output[i];
    if (!out.data) continue;
    uint32_t written = 0;
    if (i < n && input[i].data) {
      const hal::AudioBuffer& in = input[i];
      const uint32_t bytes = std::min(in.dataByteSize, out.dataByteSize);
      if (isUnity(gain, target)) {
        std::memcpy(out.data, in.data, bytes);
        written = bytes;
      } else if (bytes >= sizeof(float)) {
        const size_t samples = bytes / sizeof(float);
        gain = applyRamp(static_cast<const float*>(in.data), static_cast<float*>(out.data), samples,
                         gain, target);
        written = static_cast<uint32_t>(samples * sizeof(float));
      }
    }
    // Only what was not written is cleared, so the copy path stays a single pass over memory.
    if (written < out.dataByteSize)
      std::memset(static_cast<char*>(out.data) + written, 0, out.dataByteSize - written);
  }
  return gain;
}

}  // namespace mixelot::gain
