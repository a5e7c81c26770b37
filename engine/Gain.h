#pragma once

#include <cstddef>
#include <span>

#include "engine/hal/AudioHardware.h"

namespace mixelot::gain {

// Each sample moves the gain this fraction of the remaining distance towards the target: a time
// constant of 500 samples, slow enough that a mute or a slider jump never clicks.
inline constexpr float kRampStep = 0.002f;
// Gain and target both this close to 1 count as unity: the samples are copied untouched.
inline constexpr float kUnityTolerance = 0.001f;

// Whether a cycle with this gain and target takes the plain copy path.
bool isUnity(float gain, float target) noexcept;

// Scales `count` samples from `input` to `output`, moving the gain once per sample towards
// `target`; returns the gain after the last sample. `input` and `output` must not overlap.
float applyRamp(const float* input, float* output, size_t count, float gain, float target) noexcept;

// One I/O cycle: copies each input buffer to the output buffer of the same index with the gain,
// the ramp continuing from one buffer to the next, and leaves everything it did not write (output
// buffers without a partner, bytes past the input's length) silent. Returns the gain after the
// cycle. With `peak` set, the largest magnitude written is folded into *peak (the level meter).
// Real-time safe: no lock, no allocation.
float processBuffers(std::span<const hal::AudioBuffer> input, std::span<hal::AudioBuffer> output,
                     float gain, float target, float* peak = nullptr) noexcept;

}  // namespace mixelot::gain
