// The I/O block: the gain ramp against its formula, the block as the audio layer runs it, and its
// real-time rules.
#include "engine/AppTapState.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>

#include "EngineFixture.h"
#include "engine/Gain.h"
#include "support/HeapWatch.h"

namespace mixelot::testing {
namespace {

using Bytes = std::vector<unsigned char>;

Bytes floats(std::vector<float> samples) {
  Bytes bytes(samples.size() * sizeof(float));
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  return bytes;
}
std::vector<float> asFloats(const Bytes& bytes) {
  std::vector<float> samples(bytes.size() / sizeof(float));
  std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
  return samples;
}

// The block as the audio layer runs it: one cycle through the simulated device. Outputs start as
// garbage (0xAB) so that "left silent" shows.
class AppTapStateTest : public EngineTest {
 protected:
  void SetUp() override {
    engine.createTap("com.a", {processA});
    state = tap("com.a", "BuiltInSpeakers");
    ASSERT_TRUE(state);
  }

  std::vector<Bytes> cycle(std::vector<Bytes> input, std::vector<size_t> outputBytes,
                           const AppTapState* chain = nullptr) {
    std::vector<Bytes> output;
    std::vector<hal::AudioBuffer> in, out;
    for (auto& bytes : input) in.push_back({2, uint32_t(bytes.size()), bytes.data()});
    for (size_t size : outputBytes) output.emplace_back(size, 0xAB);
    for (auto& bytes : output) out.push_back({2, uint32_t(bytes.size()), bytes.data()});
    for (size_t i = 0; i < in.size(); ++i)
      if (input[i].empty()) in[i].data = nullptr;  // a buffer without data
    EXPECT_EQ(sim.runIOCycle((chain ? chain : state.get())->aggregateDeviceID, in, out), 1);
    return output;
  }

  // Buffers of ones of the given lengths; returns every output sample in order.
  std::vector<float> ones(std::vector<size_t> lengths) {
    std::vector<Bytes> input;
    std::vector<size_t> sizes;
    for (size_t length : lengths) {
      input.push_back(floats(std::vector<float>(length, 1.0f)));
      sizes.push_back(length * sizeof(float));
    }
    std::vector<float> all;
    for (auto& bytes : cycle(input, sizes)) {
      auto samples = asFloats(bytes);
      all.insert(all.end(), samples.begin(), samples.end());
    }
    return all;
  }

  SoftwareVolumeGuard softwareVolumeGuard;
  std::shared_ptr<AppTapState> state;
};

TEST_F(AppTapStateTest, UnityCopiesEveryByteUnchanged) {
  // Any bit pattern, NaN payloads and subnormals included, and a ragged tail.
  std::mt19937 random(7);
  std::vector<Bytes> input;
  for (size_t size : {4096u, 1u, 1031u}) {
    input.emplace_back(size);
    for (auto& byte : input.back()) byte = static_cast<unsigned char>(random());
  }
  // Within 0.001 of unity counts as unity, and the gain stays where it is; the level meter's copy
  // keeps every bit too.
  state->currentGain = 0.9995f;
  state->targetVolume = 1.0005f;
  for (bool metering : {false, true}) {
    state->isMetering = metering;
    EXPECT_EQ(cycle(input, {4096, 1, 1031}), input);
    EXPECT_EQ(state->currentGain, 0.9995f);
  }
}

TEST_F(AppTapStateTest, MeterReadsThePeakPlayedPerChainAndSilenceAsZero) {
  auto play = [&](const AppTapState& chain, float value) {
    cycle({floats(std::vector<float>(2048, value))}, {2048 * sizeof(float)}, &chain);
  };
  play(*state, 0.5f);  // off, nothing is recorded
  engine.sampleLevels();
  EXPECT_EQ(engine.appLevel("com.a"), 0.0f);

  // On, also for a chain built later; its level is the magnitude it plays, after its volume.
  engine.setLevelMetering(true);
  engine.createTap("com.a", {processA}, "Headphones", PlaythroughEngine::StartLevel{0.5f, false});
  auto headphones = tap("com.a", "Headphones");
  play(*state, -0.5f);
  play(*headphones, 0.5f);
  engine.sampleLevels();
  EXPECT_FLOAT_EQ(engine.deviceLevel("com.a", "BuiltInSpeakers"), 0.5f);
  EXPECT_FLOAT_EQ(engine.deviceLevel("com.a", "Headphones"), 0.25f);
  EXPECT_FLOAT_EQ(engine.appLevel("com.a"), 0.5f);
  EXPECT_EQ(engine.appLevel("com.ab"), 0.0f);

  // Each sample is its own period: silence, or no cycle at all, reads 0.
  play(*state, 0.0f);
  engine.sampleLevels();
  EXPECT_EQ(engine.appLevel("com.a"), 0.0f);
  play(*state, 0.5f);
  engine.setLevelMetering(false);
  EXPECT_EQ(engine.appLevel("com.a"), 0.0f);
  engine.sampleLevels();
  EXPECT_EQ(engine.appLevel("com.a"), 0.0f);
}

TEST_F(AppTapStateTest, MuteRampsTowardsZeroAcrossBuffersAndCycles) {
  // Never cut at once: the ramp's gain is carried over buffers and from one cycle to the next.
  state->isMuted = true;
  auto first = ones({300, 300}), second = ones({300});
  double gain = 1.0;
  for (size_t k = 0; k < 900; ++k) {
    gain += (0.0 - gain) * 0.002;
    ASSERT_NEAR(k < 600 ? first[k] : second[k - 600], gain, 1e-5) << "sample " << k;
  }
  state->isMuted = false;
  EXPECT_NEAR(ones({1})[0], gain + (1.0 - gain) * 0.002, 1e-5);
}

TEST_F(AppTapStateTest, SoftwareVolumeScalesTheTarget) {
  softwareVolume = 0.5f;
  auto out = ones({2048, 2048, 2048, 2048, 2048});
  EXPECT_NEAR(out[0], 1.0 - 0.5 * 0.002, 1e-6);
  EXPECT_NEAR(out.back(), 0.5, 1e-5);

  state->targetVolume = 0.5f;
  for (int i = 0; i < 10; ++i) ones({4096});
  EXPECT_NEAR(ones({1})[0], 0.25, 1e-5);
}

TEST_F(AppTapStateTest, LeavesSilentWhatItDoesNotWrite) {
  for (float target : {1.0f, 0.5f}) {
    SCOPED_TRACE(target);
    state->targetVolume = target;
    auto out = cycle({floats({1, 1}), {}, floats({1, 1, 1}), {1, 2, 3}},
                     {8 + 4, 8, 10, 3, 8});  // longer than the input, no data, ragged, no input
    auto zeros = [](size_t count) { return Bytes(count, 0); };
    EXPECT_GT(asFloats(out[0])[1], 0.4f);
    EXPECT_EQ(Bytes(out[0].begin() + 8, out[0].end()), zeros(4));
    EXPECT_EQ(out[1], zeros(8));
    EXPECT_GT(asFloats(out[2])[1], 0.4f);
    EXPECT_EQ(Bytes(out[2].begin() + 8, out[2].end()), zeros(2));
    // Under one sample: the copy takes the bytes, the ramp writes nothing.
    EXPECT_EQ(out[3], (target == 1.0f ? Bytes{1, 2, 3} : zeros(3)));
    EXPECT_EQ(out[4], zeros(8));
  }
}

TEST_F(AppTapStateTest, GarbledSharedValuesCannotPoisonTheRamp) {
  // The engine clamps, but the model may write the shared values directly.
  state->targetVolume = std::nanf("");
  EXPECT_FALSE(std::isnan(ones({4})[3]));
  state->targetVolume = 1.0f;
  softwareVolume = 7.0f;
  ones({8192});
  EXPECT_LE(state->currentGain, 1.0f);
}

using gain::applyRamp;
using gain::processBuffers;

std::vector<float> noise(size_t count, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
  std::vector<float> samples(count);
  for (auto& value : samples) value = sample(random);
  return samples;
}

// The block form against the per-sample formula run in double precision, over buffers of awkward
// lengths (shorter than a block, one over, odd) chained so the ramp crosses every boundary. The
// bounds are what the closed form achieves: its gain within 1e-7 of the formula (8.2e-8 here), a
// sample within two roundings of a full-scale float (1.18e-7 here). The formula run sample by
// sample in 32-bit floats drifts to 1.5e-5, and a power table off by 2e-7 gives 3e-7, so a looser
// bound would let either pass.
constexpr double kGainTolerance = 1e-7;
constexpr double kSampleTolerance = 1.5e-7;

TEST(Gain, RampFollowsThePerSampleFormulaAtEverySample) {
  const size_t lengths[] = {1, 7, 31, 32, 33, 1000, 2048, 4099, 3, 2048, 2048, 2048, 2048};
  for (auto [from, to] : {std::pair{1.0f, 0.0f}, std::pair{0.0f, 1.0f}, std::pair{0.2f, 0.7f},
                          std::pair{0.9f, 0.35f}, std::pair{0.25f, 0.25f}}) {
    SCOPED_TRACE(::testing::Message() << from << " -> " << to);
    float gain = from;
    double reference = from;
    size_t at = 0;
    for (size_t length : lengths) {
      auto input = noise(length, static_cast<unsigned>(at));
      std::vector<float> output(length);
      gain = applyRamp(input.data(), output.data(), length, gain, to);
      for (size_t i = 0; i < length; ++i, ++at) {
        reference += (static_cast<double>(to) - reference) * 0.002;
        ASSERT_NEAR(output[i], input[i] * reference, kSampleTolerance) << "sample " << at;
      }
      ASSERT_NEAR(gain, reference, kGainTolerance);
    }
  }
}

TEST(Gain, RampSnapsToItsTargetInsteadOfCreepingIntoSubnormals) {
  std::vector<float> input(2048, 1.0f), output(2048);
  float gain = 1.0f;
  int buffers = 0;
  for (; gain != 0.0f && buffers < 100; ++buffers) {
    gain = applyRamp(input.data(), output.data(), input.size(), gain, 0.0f);
    ASSERT_NE(std::fpclassify(gain), FP_SUBNORMAL);
    for (float value : output) ASSERT_NE(std::fpclassify(value), FP_SUBNORMAL);
  }
  // 0.998^k falls below 2^-24 after about 8,300 samples: the fifth buffer.
  EXPECT_EQ(buffers, 5);
  // Zero is exact silence from then on, and the snap point is mid-buffer.
  EXPECT_EQ(output.back(), 0.0f);
  EXPECT_GT(output.front(), 0.0f);

  // Upwards it lands exactly on unity, so the next cycle takes the copy path.
  gain = 0.5f;
  for (int i = 0; i < 10; ++i) gain = applyRamp(input.data(), output.data(), 2048, gain, 1.0f);
  EXPECT_EQ(gain, 1.0f);
}

// The level meter sees exactly what is written, on every path (the copy, the ramp with its tail,
// a constant gain, silence), and writes exactly what the plain block writes.
TEST(Gain, MeterReportsTheLargestMagnitudeWrittenAndChangesNothing) {
  for (size_t length : {1, 63, 64, 65, 1000, 2055}) {
    for (auto [from, to] : {std::pair{1.0f, 1.0f}, std::pair{1.0f, 0.0f}, std::pair{0.3f, 0.9f},
                            std::pair{0.25f, 0.25f}, std::pair{0.0f, 0.0f}}) {
      SCOPED_TRACE(::testing::Message() << length << " samples, " << from << " -> " << to);
      auto input = noise(length, static_cast<unsigned>(length));
      std::vector<float> plain(length), metered(length);
      hal::AudioBuffer in{2, static_cast<uint32_t>(length * sizeof(float)), input.data()};
      hal::AudioBuffer out{2, in.dataByteSize, plain.data()};
      const float plainGain = processBuffers({&in, 1}, {&out, 1}, from, to);
      out.data = metered.data();
      float peak = 0.0f;
      EXPECT_EQ(processBuffers({&in, 1}, {&out, 1}, from, to, &peak), plainGain);
      EXPECT_EQ(plain, metered);
      float largest = 0.0f;
      for (float sample : metered) largest = std::max(largest, std::fabs(sample));
      EXPECT_EQ(peak, largest);
    }
  }
}

// The I/O block runs on the audio backend's real-time thread: it may not touch the heap, and it
// shares only relaxed atomics with the main thread. The first test counts heap use while a cycle
// runs (support/HeapWatch); the second is for the thread sanitizer build, which fails on any
// unsynchronised access between the threads.
class RealtimeTest : public AppTapStateTest {
 protected:
  void SetUp() override {
    AppTapStateTest::SetUp();
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
