#include "engine/AppTapState.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "EngineFixture.h"

namespace mixelot::testing {
namespace {

constexpr unsigned char kGarbage = 0xAB;

// Byte buffers for one I/O cycle; outputs start as garbage so that "left silent" is visible.
struct Cycle {
  std::vector<std::vector<unsigned char>> input, output;

  static std::vector<unsigned char> floats(const std::vector<float>& samples) {
    std::vector<unsigned char> bytes(samples.size() * sizeof(float));
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    return bytes;
  }
  static std::vector<float> asFloats(const std::vector<unsigned char>& bytes) {
    std::vector<float> samples(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
  }
  void addOutput(size_t bytes) { output.emplace_back(bytes, kGarbage); }

  int run(SimAudioSystem& sim, hal::ObjectID device) {
    std::vector<hal::AudioBuffer> in, out;
    for (auto& bytes : input)
      in.push_back(
          {2, static_cast<uint32_t>(bytes.size()), bytes.empty() ? nullptr : bytes.data()});
    for (auto& bytes : output)
      out.push_back(
          {2, static_cast<uint32_t>(bytes.size()), bytes.empty() ? nullptr : bytes.data()});
    return sim.runIOCycle(device, in, out);
  }
};

class AppTapStateTest : public EngineTest {
 protected:
  void SetUp() override {
    engine.createTap("com.a", {processA});
    state = tap("com.a::BuiltInSpeakers");
    ASSERT_TRUE(state);
  }
  std::vector<float> ones(size_t count) { return std::vector<float>(count, 1.0f); }

  // Pushes buffers of ones through the chain and returns every output sample in order.
  std::vector<float> runOnes(std::initializer_list<size_t> bufferSamples) {
    Cycle cycle;
    for (size_t samples : bufferSamples) {
      cycle.input.push_back(Cycle::floats(ones(samples)));
      cycle.addOutput(samples * sizeof(float));
    }
    EXPECT_EQ(cycle.run(sim, state->aggregateDeviceID), 1);
    std::vector<float> all;
    for (auto& bytes : cycle.output) {
      auto samples = Cycle::asFloats(bytes);
      all.insert(all.end(), samples.begin(), samples.end());
    }
    return all;
  }

  SoftwareVolumeGuard softwareVolumeGuard;
  std::shared_ptr<AppTapState> state;
};

TEST_F(AppTapStateTest, UnityCopiesEveryByteUnchanged) {
  // Any bit pattern at all, NaN payloads and subnormals included, and a ragged tail.
  std::mt19937 random(7);
  Cycle cycle;
  for (size_t bytes : {4096u, 1u, 1031u}) {
    std::vector<unsigned char> data(bytes);
    for (auto& byte : data) byte = static_cast<unsigned char>(random());
    cycle.input.push_back(data);
    cycle.addOutput(bytes);
  }
  // Within 0.001 of unity counts as unity; the gain is left where it is.
  state->currentGain = 0.9995f;
  state->targetVolume = 1.0005f;
  cycle.run(sim, state->aggregateDeviceID);
  EXPECT_EQ(cycle.output, cycle.input);
  EXPECT_EQ(state->currentGain, 0.9995f);
}

TEST_F(AppTapStateTest, MuteRampsTowardsZeroAcrossBufferBoundaries) {
  state->isMuted = true;
  auto out = runOnes({300, 300});
  auto later = runOnes({1000});
  out.insert(out.end(), later.begin(), later.end());

  // Never cut at once: the first sample has lost only 0.2 %.
  EXPECT_NEAR(out[0], 0.998f, 1e-6f);
  // A time constant of 500 samples, continuing from one buffer and one cycle to the next.
  EXPECT_NEAR(out[499], std::exp(-1.0), 1e-3);
  double gain = 1.0;
  for (size_t k = 0; k < out.size(); ++k) {
    gain += (0.0 - gain) * 0.002;
    ASSERT_NEAR(out[k], gain, 1e-5) << "sample " << k;
  }
  for (size_t k = 1; k < out.size(); ++k) ASSERT_LT(out[k], out[k - 1]);

  // Unmuting ramps back up from where the gain is.
  state->isMuted = false;
  auto up = runOnes({2});
  EXPECT_NEAR(up[0], gain + (1.0 - gain) * 0.002, 1e-5);
}

TEST_F(AppTapStateTest, SoftwareVolumeScalesTheTarget) {
  softwareVolume = 0.5f;
  auto out = runOnes({2048, 2048, 2048, 2048, 2048});
  EXPECT_NEAR(out[0], 1.0 - 0.5 * 0.002, 1e-6);
  EXPECT_NEAR(out.back(), 0.5, 1e-5);
  EXPECT_NEAR(state->currentGain, 0.5f, 1e-5f);

  // The app's own volume multiplies in.
  state->targetVolume = 0.5f;
  for (int i = 0; i < 20; ++i) runOnes({2048});
  EXPECT_NEAR(runOnes({4}).back(), 0.25, 1e-5);
}

TEST_F(AppTapStateTest, LeavesSilentWhatItDoesNotWrite) {
  for (bool unity : {true, false}) {
    SCOPED_TRACE(unity ? "unity" : "ramp");
    state->targetVolume = unity ? 1.0f : 0.5f;
    state->currentGain = 1.0f;
    Cycle cycle;
    cycle.input.push_back(Cycle::floats(ones(8)));
    cycle.input.push_back(Cycle::floats(ones(4)));
    cycle.input.push_back({});  // a buffer without data: its partner stays silent
    cycle.addOutput(8 * sizeof(float));
    cycle.addOutput(10 * sizeof(float));  // longer than its input
    cycle.addOutput(4 * sizeof(float));
    cycle.addOutput(4 * sizeof(float));  // no input partner at all
    cycle.run(sim, state->aggregateDeviceID);

    auto second = Cycle::asFloats(cycle.output[1]);
    for (size_t i = 0; i < 4; ++i) EXPECT_GT(second[i], 0.4f);
    for (size_t i = 4; i < 10; ++i) EXPECT_EQ(second[i], 0.0f) << i;
    for (size_t b : {2u, 3u})
      EXPECT_EQ(cycle.output[b], std::vector<unsigned char>(cycle.output[b].size(), 0)) << b;
  }
}

TEST_F(AppTapStateTest, RaggedBuffersOnTheRampWriteWholeSamplesOnly) {
  state->targetVolume = 0.0f;
  Cycle cycle;
  cycle.input.push_back({1, 2, 3});  // under one sample: nothing written
  cycle.input.push_back(Cycle::floats(ones(3)));
  cycle.input.back().resize(10);  // two whole samples and two stray bytes
  cycle.addOutput(3);
  cycle.addOutput(10);
  cycle.run(sim, state->aggregateDeviceID);

  EXPECT_EQ(cycle.output[0], std::vector<unsigned char>(3, 0));
  auto second = Cycle::asFloats(cycle.output[1]);
  EXPECT_NEAR(second[0], 0.998f, 1e-6f);
  EXPECT_NEAR(second[1], 0.998f * 0.998f, 1e-6f);
  EXPECT_EQ(cycle.output[1][8], 0);
  EXPECT_EQ(cycle.output[1][9], 0);
}

TEST_F(AppTapStateTest, EmptyCycleOnlyClearsTheOutput) {
  state->isMuted = true;
  Cycle cycle;
  cycle.addOutput(16);
  cycle.run(sim, state->aggregateDeviceID);
  EXPECT_EQ(cycle.output[0], std::vector<unsigned char>(16, 0));
  EXPECT_EQ(state->currentGain, 1.0f);
}

TEST_F(AppTapStateTest, GarbledSharedValuesCannotPoisonTheRamp) {
  // The engine clamps, but the model may write the shared values directly.
  state->targetVolume = std::nanf("");
  auto out = runOnes({4});
  EXPECT_FALSE(std::isnan(out[0]));
  EXPECT_FALSE(std::isnan(state->currentGain));
  state->targetVolume = 1.0f;
  softwareVolume = 7.0f;
  runOnes({4096});
  EXPECT_LE(state->currentGain, 1.0f);
}

}  // namespace
}  // namespace mixelot::testing
