#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "engine/hal/AudioHardware.h"

namespace mixelot {

// The process-wide output gain used when the default device has no volume control of its own.
// Written by the main thread, read by every chain's I/O block.
extern std::atomic<float> softwareVolume;

// One chain: a process tap of one app, an aggregate device joining it with one output device, and
// the I/O procedure that copies the tapped audio to the device with the app's gain.
class AppTapState {
 public:
  AppTapState(std::string bundleID, std::string deviceUID);

  // The I/O block. Real-time: no lock, no allocation, no log.
  void process(std::span<const hal::AudioBuffer> input,
               std::span<hal::AudioBuffer> output) noexcept;
  // The gain the block moves towards: 0 while muted, else the target volume scaled by the
  // software volume, kept in 0...1.
  float effectiveTarget() const noexcept;

  const std::string bundleID;
  const std::string deviceUID;
  hal::ObjectID tapObjectID = hal::kUnknownObject;
  hal::ObjectID aggregateDeviceID = hal::kUnknownObject;
  std::optional<hal::IOProcID> ioProcID;
  const std::string tapUUID;
  const std::string queueLabel;  // "com.corvana.Mixelot.io." + bundle id + "." + device UID

  // The main thread's side of the level meter: the largest magnitude the block wrote since the
  // last call, which starts the next period. A chain that ran no cycle meanwhile reads 0.
  float takePeakLevel() noexcept { return peakLevel.exchange(0.0f, std::memory_order_relaxed); }

  // Before the block runs: it plays at unity, whatever the target, until its input first carries
  // sound (the app's streams have arrived from the direct path), then ramps to the target from
  // there. Silence for longer than kUnityHoldFrames (more than the session manager takes to move
  // the streams) ends the hold too: an app that plays nothing while its chain is built must meet
  // its next sound at its level, not at unity.
  void holdUnityUntilSound() noexcept {
    currentGain = 1.0f;
    unityHoldFrames = kUnityHoldFrames;
  }
  static constexpr uint32_t kUnityHoldFrames = 48000 / 5;

  // Shared with the I/O block: written whole by the main thread, read whole by the block.
  std::atomic<float> targetVolume{1.0f};
  std::atomic<bool> isMuted{false};
  // While set, the block records the peak of what it writes (the meter costs the block a
  // comparison per sample, so it runs only while someone looks at it).
  std::atomic<bool> isMetering{false};
  // Raised by the block (never lowered), taken by the main thread.
  std::atomic<float> peakLevel{0.0f};
  // Owned by the I/O block once the chain runs.
  float currentGain = 1.0f;
  uint32_t unityHoldFrames = 0;
  // Main thread: the peak of the last sampling period.
  float level = 0.0f;
};

}  // namespace mixelot
