#include "engine/Gain.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace mixelot::gain {
namespace {

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
    SCOPED_TRACE(testing::Message() << from << " -> " << to);
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
      SCOPED_TRACE(testing::Message() << length << " samples, " << from << " -> " << to);
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

}  // namespace
}  // namespace mixelot::gain
