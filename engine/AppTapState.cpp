#include "engine/AppTapState.h"

#include <algorithm>

#include "engine/Gain.h"
#include "engine/Volume.h"
#include "platform/Uuid.h"

namespace mixelot {

namespace {
constexpr const char* kQueueLabelPrefix = "com.corvana.Mixelot.io.";
}  // namespace

std::atomic<float> softwareVolume{1.0f};

static_assert(std::atomic<float>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the I/O block may not take a lock to read its shared values");

AppTapState::AppTapState(std::string bundleID, std::string deviceUID)
    : bundleID(std::move(bundleID)),
      deviceUID(std::move(deviceUID)),
      tapUUID(makeUuidString()),
      queueLabel(kQueueLabelPrefix + this->bundleID + "." + this->deviceUID) {}

float AppTapState::effectiveTarget() const noexcept {
  const float target =
      isMuted.load(std::memory_order_relaxed) ? 0.0f : targetVolume.load(std::memory_order_relaxed);
  // The shared values are meant to be in 0...1 already; clamping here as well keeps a stray
  // direct write (NaN, 1.7) from poisoning the ramp or driving the device past full scale.
  return clampVolume(target * softwareVolume.load(std::memory_order_relaxed));
}

namespace {

// Whether any sample of the buffers is not silent; with the number of frames they hold.
bool carriesSound(std::span<const hal::AudioBuffer> buffers, uint32_t& frames) noexcept {
  bool sound = false;
  frames = 0;
  for (const auto& buffer : buffers) {
    const auto* samples = static_cast<const float*>(buffer.data);
    const size_t count = samples ? buffer.dataByteSize / sizeof(float) : 0;
    if (buffer.numberChannels > 0)
      frames = std::max(frames, static_cast<uint32_t>(count / buffer.numberChannels));
    for (size_t i = 0; i < count && !sound; ++i) sound = samples[i] != 0.0f;
  }
  return sound;
}

}  // namespace

void AppTapState::process(std::span<const hal::AudioBuffer> input,
                          std::span<hal::AudioBuffer> output) noexcept {
  float target = effectiveTarget();
  if (unityHoldFrames > 0) {
    uint32_t frames = 0;
    if (carriesSound(input, frames))
      unityHoldFrames = 0;
    else
      unityHoldFrames -= std::min(unityHoldFrames, frames);
    if (unityHoldFrames > 0) target = currentGain;
  }
  if (!isMetering.load(std::memory_order_relaxed)) {
    currentGain = gain::processBuffers(input, output, currentGain, target);
    return;
  }
  float peak = 0.0f;
  currentGain = gain::processBuffers(input, output, currentGain, target, &peak);
  // Only ever raised here, and reset only by the main thread's exchange: a reset between the load
  // and the exchange below makes the exchange fail and retry against 0, so no peak is lost and
  // none comes back after a reset. Lock-free; it retries only when a reset hits that window.
  float seen = peakLevel.load(std::memory_order_relaxed);
  while (peak > seen && !peakLevel.compare_exchange_weak(seen, peak, std::memory_order_relaxed)) {
  }
}

}  // namespace mixelot
