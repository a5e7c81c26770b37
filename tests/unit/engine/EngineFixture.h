#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "engine/AppTapState.h"
#include "engine/PlaythroughEngine.h"
#include "engine/hal/sim/SimAudioSystem.h"
#include "platform/ManualMainQueue.h"
#include "platform/SystemLog.h"

namespace mixelot::testing {

using hal::sim::SimAudioSystem;
using Event = SimAudioSystem::Event;

// A machine with a built-in default output device and headphones, one tapped process per app, and
// an engine that has the capture permission.
class EngineTest : public ::testing::Test {
 protected:
  EngineTest() {
    speakers = sim.addDevice({.uid = "BuiltInSpeakers", .name = "Speakers", .inputStreams = 2});
    headphones = sim.addDevice(
        {.uid = "Headphones", .name = "Headphones", .transport = hal::transport::kBluetooth});
    sim.setDefaultOutputDevice(speakers);
    processA = sim.addProcess(101, "com.a");
    processAB = sim.addProcess(102, "com.ab");
    queue.runUntilIdle();
    engine.setPermissionGranted(true);
    // The first look at the default device logs a change from the empty UID; tests start after.
    engine.refreshOutputDevice();
    log.clear();
  }

  std::shared_ptr<AppTapState> tap(const std::string& id, const std::string& uid) const {
    return engine.chain(id, uid);
  }

  // What the simulated system still holds: nothing may outlive a failed or removed chain.
  void expectNothingLeft() const {
    EXPECT_TRUE(sim.liveTaps().empty());
    EXPECT_TRUE(sim.liveAggregates().empty());
    EXPECT_EQ(sim.runningIOProcCount(), 0u);
  }

  static std::vector<Event> teardown(const AppTapState& state) {
    return {{"deviceStop", state.aggregateDeviceID},
            {"destroyIOProc", state.aggregateDeviceID},
            {"destroyAggregateDevice", state.aggregateDeviceID},
            {"destroyProcessTap", state.tapObjectID}};
  }

  ManualMainQueue queue;
  SimAudioSystem sim{queue};
  CapturingLog log;
  PlaythroughEngine engine{sim, queue};
  hal::ObjectID speakers = 0, headphones = 0, processA = 0, processAB = 0;
};

// Restores the process-wide software volume a test changed.
struct SoftwareVolumeGuard {
  ~SoftwareVolumeGuard() { softwareVolume.store(1.0f); }
};

}  // namespace mixelot::testing
