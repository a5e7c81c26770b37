// The I/O block runs on the audio backend's real-time thread: it may not touch the heap, and it
// shares only relaxed atomics with the main thread. The first test counts heap use while a cycle
// runs (support/HeapWatch); the second is for the thread sanitizer build, which fails on any
// unsynchronised access between the threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "EngineFixture.h"
#include "engine/Gain.h"
#include "support/HeapWatch.h"

namespace mixelot::testing {
namespace {

class RealtimeTest : public EngineTest {
 protected:
  void SetUp() override {
    engine.createTap("com.a", {processA});
    state = tap("com.a", "BuiltInSpeakers");
    ASSERT_TRUE(state);
    for (size_t i = 0; i < 5; ++i) {
      samples[i].assign(2048, i < 2 ? 0.5f : 0.0f);
      buffers[i] = {2, static_cast<uint32_t>(samples[i].size() * sizeof(float)), samples[i].data()};
    }
  }
  // Two input buffers, three output buffers.
  int cycle() {
    return sim.runIOCycle(state->aggregateDeviceID, std::span(buffers).first(2),
                          std::span(buffers).last(3));
  }

  SoftwareVolumeGuard softwareVolumeGuard;
  std::shared_ptr<AppTapState> state;
  std::vector<float> samples[5];
  hal::AudioBuffer buffers[5];
};

TEST_F(RealtimeTest, CycleNeverTouchesTheHeap) {
  if (!heapWatchWorks()) GTEST_SKIP() << "the sanitizer runtime owns the allocator";
  {
    // The detector itself works.
    RealtimeScope realtime;
    delete new volatile int(1);
  }
  ASSERT_GT(takeHeapTouches(), 0);

  // Every path of the block, with the level meter on: copy, ramp, mute, software volume, and
  // back to the copy.
  engine.setLevelMetering(true);
  int ran = 0;
  auto run = [&](int cycles) {
    RealtimeScope realtime;
    for (int i = 0; i < cycles; ++i) ran += cycle();
  };
  run(3);
  state->targetVolume = 0.3f;
  run(3);
  state->isMuted = true;
  run(10);
  state->isMuted = false;
  softwareVolume = 0.5f;
  run(3);
  state->targetVolume = 1.0f;
  softwareVolume = 1.0f;
  run(20);
  EXPECT_EQ(ran, 39);
  EXPECT_TRUE(gain::isUnity(state->currentGain, 1.0f));
  EXPECT_EQ(takeHeapTouches(), 0);
}

TEST_F(RealtimeTest, MainThreadChangesVolumesWhileTheBlockRuns) {
  std::atomic<bool> stop{false};
  std::atomic<int> cycles{0};
  std::thread audio([&] {
    while (!stop.load()) cycles += cycle();
  });
  for (int i = 0; cycles.load() < 2000 && i < 2'000'000; ++i) {
    state->targetVolume.store(static_cast<float>(i % 11) / 10.0f, std::memory_order_relaxed);
    state->isMuted.store(i % 7 == 0, std::memory_order_relaxed);
    softwareVolume.store(i % 3 == 0 ? 0.5f : 1.0f, std::memory_order_relaxed);
    engine.setAppVolume("com.a", static_cast<float>(i % 5) / 4.0f);
    engine.setAppMuted("com.a", i % 13 == 0);
    if (i % 17 == 0) engine.setLevelMetering(i % 34 == 0);
    engine.sampleLevels();
  }
  // Teardown while cycles keep coming: the stop waits for a running cycle.
  engine.removeTaps("com.a");
  stop = true;
  audio.join();

  EXPECT_GE(cycles.load(), 1);
  EXPECT_TRUE(state->currentGain >= 0.0f && state->currentGain <= 1.0f);
  EXPECT_TRUE(state->level >= 0.0f && state->level <= 0.5f);
  for (const auto& buffer : samples)
    for (float sample : buffer) ASSERT_TRUE(sample >= 0.0f && sample <= 0.5f);
}

}  // namespace
}  // namespace mixelot::testing
