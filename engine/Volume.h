#pragma once

#include <cmath>

namespace mixelot {

// Every volume entering the system is a linear factor in 0...1. A value that is not a number
// becomes 0: silence is the safe reading of a garbled value, and a NaN gain would otherwise
// stick in the audio ramp for good.
inline float clampVolume(float volume) noexcept {
  if (std::isnan(volume) || volume <= 0.0f) return 0.0f;
  if (volume > 1.0f) return 1.0f;
  return volume;
}

}  // namespace mixelot
