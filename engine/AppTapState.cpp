#include "engine/AppTapState.h"

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

void AppTapState::process(std::span<const hal::AudioBuffer> input,
                          std::span<hal::AudioBuffer> output) noexcept {
  if (!isMetering.load(std::memory_order_relaxed)) {
    currentGain = gain::processBuffers(input, output, currentGain, effectiveTarget());
    return;
  }
  float peak = 0.0f;
  currentGain = gain::processBuffers(input, output, currentGain, effectiveTarget(), &peak);
  // Only ever raised here, and reset only by the main thread's exchange: a reset between the load
  // and the exchange below makes the exchange fail and retry against 0, so no peak is lost and
  // none comes back after a reset. Lock-free; it retries only when a reset hits that window.
  float seen = peakLevel.load(std::memory_order_relaxed);
  while (peak > seen && !peakLevel.compare_exchange_weak(seen, peak, std::memory_order_relaxed)) {
  }
}

}  // namespace mixelot
