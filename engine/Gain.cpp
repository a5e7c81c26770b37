#include "engine/Gain.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace mixelot::gain {

bool isUnity(float gain, float target) noexcept {
  return std::fabs(target - 1.0f) < kUnityTolerance && std::fabs(gain - 1.0f) < kUnityTolerance;
}

float applyRamp(const float* input, float* output, size_t count, float gain,
                float target) noexcept {
  // Run in double so the ramp matches the formula instead of drifting with float rounding.
  double g = gain;
  const double t = target;
  for (size_t i = 0; i < count; ++i) {
    g += (t - g) * static_cast<double>(kRampStep);
    output[i] = static_cast<float>(input[i] * g);
  }
  return static_cast<float>(g);
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
    std::memset(static_cast<char*>(out.data) + written, 0, out.dataByteSize - written);
  }
  return gain;
}

}  // namespace mixelot::gain
