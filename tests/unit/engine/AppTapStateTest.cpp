#include "engine/AppTapState.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "EngineFixture.h"

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

}  // namespace
}  // namespace mixelot::testing
