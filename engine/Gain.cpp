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

// The level meter keeps a running peak per lane of a vector register and reduces them once per
// buffer, instead of a serial maximum per sample; four registers, so that four independent chains
// of maxima overlap. Written with GCC's vector extension: the vectoriser leaves a loop with a
// running maximum per element scalar. Sixteen lanes are one AVX-512 register, two AVX or four
// SSE ones, whichever clone runs.
using Lanes = float __attribute__((vector_size(64)));
using LaneBits = uint32_t __attribute__((vector_size(64)));
constexpr size_t kLanes = sizeof(Lanes) / sizeof(float);
static_assert(kBlock == 4 * kLanes);

// A block of samples as four registers; also the running peaks of a metered pass.
struct BlockPeaks {
  Lanes a{}, b{}, c{}, d{};
};
static_assert(sizeof(BlockPeaks) == kBlock * sizeof(float));

// Out-parameters, not return values: a 64-byte vector by value would change the calling
// convention between the clones.
[[gnu::always_inline]] inline void load(Lanes& lanes, const float* samples) noexcept {
  std::memcpy(&lanes, samples, sizeof lanes);
}

// peak = max(peak, |lanes|), lane by lane.
[[gnu::always_inline]] inline void fold(Lanes& peak, const Lanes& lanes) noexcept {
  const Lanes magnitude = reinterpret_cast<Lanes>(reinterpret_cast<LaneBits>(lanes) & 0x7fffffffu);
  peak = peak < magnitude ? magnitude : peak;
}

[[gnu::always_inline]] inline void fold(BlockPeaks& into, const BlockPeaks& from) noexcept {
  fold(into.a, from.a);
  fold(into.b, from.b);
  fold(into.c, from.c);
  fold(into.d, from.d);
}

// The largest of all lanes: the four registers lane by lane, then halving the register until one
// lane is left, instead of a serial maximum over 64 values.
[[gnu::always_inline]] inline float largestLane(const BlockPeaks& peaks) noexcept {
  Lanes m = peaks.a < peaks.b ? peaks.b : peaks.a;
  const Lanes cd = peaks.c < peaks.d ? peaks.d : peaks.c;
  m = m < cd ? cd : m;
  for (uint32_t width = kLanes / 2; width > 0; width /= 2) {
    LaneBits from;
    for (uint32_t k = 0; k < kLanes; ++k) from[k] = (k + width) % kLanes;
    const Lanes shifted = __builtin_shuffle(m, from);
    m = m < shifted ? shifted : m;
  }
  return m[0];
}

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

// rampBlocks with the level meter: the same samples (the same expression per sample), their
// magnitudes folded into running peaks while they are still in registers, and the largest of
// them into `peak`. The reduction stays in here: in the baseline code around the clones, the
// wide shuffles it takes are emulated and cost more than the whole ramp.
MIXELOT_VECTOR_CLONES
double rampBlocksMetered(const float* __restrict input, float* __restrict output, size_t count,
                         float target, double distance, size_t& done, float& peak) noexcept {
  BlockPeaks r;
  load(r.a, kPowers.r.data());
  load(r.b, kPowers.r.data() + kLanes);
  load(r.c, kPowers.r.data() + 2 * kLanes);
  load(r.d, kPowers.r.data() + 3 * kLanes);
  BlockPeaks found;
  size_t i = 0;
  for (; i < count; i += kBlock) {
    if (std::fabs(distance) < kSnapDistance) {
      distance = 0.0;
      break;
    }
    const float d = static_cast<float>(distance);
    BlockPeaks v;
    load(v.a, input + i);
    load(v.b, input + i + kLanes);
    load(v.c, input + i + 2 * kLanes);
    load(v.d, input + i + 3 * kLanes);
    v.a *= target + d * r.a;
    v.b *= target + d * r.b;
    v.c *= target + d * r.c;
    v.d *= target + d * r.d;
    std::memcpy(output + i, &v.a, sizeof(Lanes));
    std::memcpy(output + i + kLanes, &v.b, sizeof(Lanes));
    std::memcpy(output + i + 2 * kLanes, &v.c, sizeof(Lanes));
    std::memcpy(output + i + 3 * kLanes, &v.d, sizeof(Lanes));
    fold(found, v);
    distance *= kPowers.exact[kBlock];
  }
  peak = std::max(peak, largestLane(found));
  done = i;
  return distance;
}

MIXELOT_VECTOR_CLONES
void scale(const float* __restrict input, float* __restrict output, size_t count,
           float factor) noexcept {
  for (size_t i = 0; i < count; ++i) output[i] = input[i] * factor;
}

// The largest magnitude among `count` samples; with kCopy they are copied to `output` in the same
// pass (the metered copy path; moving floats through registers keeps every bit).
template <bool kCopy>
[[gnu::always_inline]] inline float peakOf(const float* __restrict samples,
                                           float* __restrict output, size_t count) noexcept {
  BlockPeaks peaks;
  size_t i = 0;
  for (; i + kBlock <= count; i += kBlock) {
    BlockPeaks block;
    load(block.a, samples + i);
    load(block.b, samples + i + kLanes);
    load(block.c, samples + i + 2 * kLanes);
    load(block.d, samples + i + 3 * kLanes);
    if constexpr (kCopy) {
      std::memcpy(output + i, &block.a, sizeof(Lanes));
      std::memcpy(output + i + kLanes, &block.b, sizeof(Lanes));
      std::memcpy(output + i + 2 * kLanes, &block.c, sizeof(Lanes));
      std::memcpy(output + i + 3 * kLanes, &block.d, sizeof(Lanes));
    }
    fold(peaks, block);
  }
  float peak = largestLane(peaks);
  for (; i < count; ++i) {
    if constexpr (kCopy) output[i] = samples[i];
    peak = std::max(peak, std::fabs(samples[i]));
  }
  return peak;
}

// For the paths that do not compute their samples one by one (the tail, a constant gain): read
// back from the cache what was just written.
MIXELOT_VECTOR_CLONES
float peakOf(const float* samples, size_t count) noexcept {
  return peakOf<false>(samples, nullptr, count);
}

MIXELOT_VECTOR_CLONES
float copyMetered(const float* input, float* output, size_t count) noexcept {
  return peakOf<true>(input, output, count);
}

}  // namespace

bool isUnity(float gain, float target) noexcept {
  return std::fabs(target - 1.0f) < kUnityTolerance && std::fabs(gain - 1.0f) < kUnityTolerance;
}

namespace {

// applyRamp, and with `peak` set also the largest output magnitude folded into *peak.
float ramp(const float* input, float* output, size_t count, float gain, float target,
           float* peak) noexcept {
  double distance = static_cast<double>(gain) - static_cast<double>(target);
  size_t done = 0;
  if (distance != 0.0) {
    const size_t blocks = count - count % kBlock;
    distance = peak ? rampBlocksMetered(input, output, blocks, target, distance, done, *peak)
                    : rampBlocks(input, output, blocks, target, distance, done);
  }
  const size_t ramped = done;

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
  if (peak && ramped < count) *peak = std::max(*peak, peakOf(output + ramped, count - ramped));
  if (std::fabs(distance) < kSnapDistance) return target;
  return static_cast<float>(static_cast<double>(target) + distance);
}

}  // namespace

float applyRamp(const float* input, float* output, size_t count, float gain,
                float target) noexcept {
  return ramp(input, output, count, gain, target, nullptr);
}

float processBuffers(std::span<const hal::AudioBuffer> input, std::span<hal::AudioBuffer> output,
                     float gain, float target, float* peak) noexcept {
  const size_t n = std::min(input.size(), output.size());
  for (size_t i = 0; i < output.size(); ++i) {
    hal::AudioBuffer& out = output[i];
    if (!out.data) continue;
    uint32_t written = 0;
    if (i < n && input[i].data) {
      const hal::AudioBuffer& in = input[i];
      const uint32_t bytes = std::min(in.dataByteSize, out.dataByteSize);
      if (isUnity(gain, target)) {
        if (peak) {
          // One pass that copies and measures; moving floats through registers keeps every bit.
          const size_t samples = bytes / sizeof(float);
          *peak = std::max(*peak, copyMetered(static_cast<const float*>(in.data),
                                              static_cast<float*>(out.data), samples));
          std::memcpy(static_cast<char*>(out.data) + samples * sizeof(float),
                      static_cast<const char*>(in.data) + samples * sizeof(float),
                      bytes - samples * sizeof(float));
        } else {
          std::memcpy(out.data, in.data, bytes);
        }
        written = bytes;
      } else if (bytes >= sizeof(float)) {
        const size_t samples = bytes / sizeof(float);
        gain = ramp(static_cast<const float*>(in.data), static_cast<float*>(out.data), samples,
                    gain, target, peak);
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
