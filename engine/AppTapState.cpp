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
  currentGain = gain::processBuffers(input, output, currentGain, effectiveTarget());
}

}  // namespace mixelot
