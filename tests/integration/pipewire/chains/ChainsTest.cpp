// Per-app volume you can hear: chains of the real engine on the PipeWire backend, measured at
// the devices' monitors.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "support/EngineRig.h"
#include "support/SessionTest.h"

namespace mixelot {
namespace {

using namespace testsupport;

constexpr const char* kApp = "org.example.Music";

class ChainsTest : public SessionTest {
 protected:
  static void TearDownTestSuite() {
    if (tone_) session().stopTone(*tone_);
    tone_.reset();
  }

  void SetUp() override {
    MIXELOT_REQUIRE_SESSION();
    // One tone app for a run of tests, started again when the kind of app changes.
    if (!tone_ || tonePulse_ != pulse()) {
      if (tone_) session().stopTone(*tone_);
      tone_ = session().tone(kApp, 440, {.pulse = pulse()});
      tonePulse_ = pulse();
    }
    ASSERT_TRUE(tone_) << "the tone app did not start";
    rig_ = std::make_unique<EngineRig>();
    ASSERT_TRUE(rig_->hardware.isConnected());
    ASSERT_TRUE(waitFor(queue(), [&] { return !appProcesses().empty(); }));
  }
  void TearDown() override {
    if (rig_) rig_->engine.stopAll();
    rig_.reset();
    SessionTest::TearDown();
  }

  PollMainQueue& queue() { return rig_->queue; }
  PlaythroughEngine& engine() { return rig_->engine; }
  std::vector<hal::ObjectID> appProcesses() { return rig_->processesOf(kApp); }
  // Builds the app's chain on `device` (the default when empty) and waits until the app plays
  // through it.
  void route(const std::string& device = {}) {
    engine().createTap(kApp, appProcesses(),
                       device.empty() ? std::nullopt : std::optional<std::string>(device));
    ASSERT_TRUE(waitFor(queue(), [&] { return onTap(kApp); }))
        << "the app's stream never reached the tap";
  }
  double level(const std::string& device) { return SessionTest::level(queue(), device); }
  std::pair<double, double> levels() { return SessionTest::levels(queue()); }

  static inline std::optional<pid_t> tone_;
  static inline bool tonePulse_ = false;
  std::unique_ptr<EngineRig> rig_;
};

using ChainsForEitherClientTest = ForEitherClient<ChainsTest>;
MIXELOT_FOR_EITHER_CLIENT(ChainsForEitherClientTest);

TEST_P(ChainsForEitherClientTest, AppVolumeScalesWhatTheDevicePlays) {
  route();
  engine().setLevelMetering(true);
  EXPECT_NEAR(level("speakers"), kToneLevel, kTolerance);
  // The level meter saw the tone's peak while the device was measured.
  engine().sampleLevels();
  EXPECT_NEAR(engine().appLevel(kApp), 0.5, 0.02);
  engine().setAppVolume(kApp, 0.5f);
  EXPECT_NEAR(level("speakers"), kToneLevel - 6.02, kTolerance);
}

TEST_P(ChainsForEitherClientTest, MuteFadesToSilenceWithinFiftyMillisecondsWithoutAClick) {
  route();
  // Record across the mute: the recording starts, the mute lands in its middle.
  auto recording = std::async(std::launch::async, [] { return session().record("speakers", 1.2); });
  queue().runFor(Seconds(0.7));
  engine().setAppMuted(kApp, true);
  auto samples = whileRunning(queue(), [&] { return recording.get(); });
  ASSERT_TRUE(samples);

  // RMS over 5 ms windows of the left channel.
  constexpr size_t kRate = 48000, kWindow = kRate / 200;
  std::vector<double> rms;
  for (size_t start = 0; start + kWindow * 2 <= samples->size(); start += kWindow * 2) {
    double sum = 0;
    for (size_t i = 0; i < kWindow; ++i) sum += std::pow((*samples)[start + 2 * i], 2);
    rms.push_back(20 * std::log10(std::sqrt(sum / kWindow) + 1e-12));
  }
  // The mute begins at the first window clearly below the tone after it started playing.
  auto playing = std::find_if(rms.begin(), rms.end(),
                              [](double db) { return std::abs(db - kToneLevel) < 1.0; });
  ASSERT_NE(playing, rms.end()) << "the tone never reached the device";
  auto fading = std::find_if(playing, rms.end(), [](double db) { return db < kToneLevel - 1.0; });
  ASSERT_NE(fading, rms.end()) << "the mute never reached the device";
  const size_t onset = static_cast<size_t>(fading - rms.begin());
  // 50 ms (10 windows) later it is silent: the ramp's 500-sample time constant has taken it
  // below -40 dB by then.
  ASSERT_LT(onset + 11, rms.size());
  EXPECT_LT(rms[onset + 10], kToneLevel - 35.0) << "at 50 ms: " << rms[onset + 10] << " dB";
  EXPECT_LT(rms.back(), kSilence);

  // No click: no step between samples beyond what the sine itself takes (amplitude 0.5 at
  // 440 Hz moves at most 0.029 per sample) plus what the gain ramp adds.
  const double maxSineStep = 0.5 * 2 * M_PI * 440 / kRate;
  // From the moment the tone plays (the recording starts with silence until it is linked).
  double largest = 0;
  size_t where = 0;
  const size_t from = static_cast<size_t>(playing - rms.begin() + 1) * kWindow * 2;
  for (size_t i = from + 2; i < samples->size(); i += 2) {
    const double step = std::abs((*samples)[i] - (*samples)[i - 2]);
    if (step > largest) {
      largest = step;
      where = i / 2;
    }
  }
  std::printf("  mute: %.1f dB after 50 ms, largest sample step %.4f (sine alone %.4f)\n",
              rms[onset + 10] - kToneLevel, largest, maxSineStep);
  EXPECT_LT(largest, maxSineStep * 1.1)
      << "at frame " << where << " of " << samples->size() / 2 << ", mute at window " << onset;

  engine().setAppMuted(kApp, false);
  EXPECT_NEAR(level("speakers"), kToneLevel, kTolerance);
}

TEST_P(ChainsForEitherClientTest, RoutesToOneOrBothDevicesWithTheirOwnVolumes) {
  route("headphones");
  auto [speakers, headphones] = levels();
  EXPECT_LT(speakers, kSilence);
  EXPECT_NEAR(headphones, kToneLevel, kTolerance);

  engine().createTap(kApp, appProcesses(), std::string("speakers"));
  engine().setAppDeviceVolume(kApp, "speakers", 0.25f);
  engine().setAppDeviceVolume(kApp, "headphones", 1.0f);
  std::tie(speakers, headphones) = levels();
  EXPECT_NEAR(speakers, kToneLevel - 12.04, kTolerance);
  EXPECT_NEAR(headphones, kToneLevel, kTolerance);
  // Both chains read one sink: a stream can only play to one.
  EXPECT_EQ(session().nodesNamed("mixelot.tap.").size(), 1u);
  EXPECT_EQ(session().nodesNamed("mixelot.forward.").size(), 2u);
}

// Levels of the two tones together (different frequencies, so their powers add), each scaled.
double sumOfTones(double firstGain, double secondGain) {
  const double power =
      std::pow(10.0, kToneLevel / 10) * (firstGain * firstGain + secondGain * secondGain);
  return 10 * std::log10(power);
}

TEST_F(ChainsTest, ATapFollowsItsProcessListAndKeepsOneSinkPerList) {
  route();
  engine().setAppVolume(kApp, 0.5f);
  const auto first = appProcesses();
  startTone(kApp, 660, {}, &queue());
  ASSERT_TRUE(waitFor(queue(), [&] { return appProcesses().size() == 2; }));
  const auto both = appProcesses();
  auto onTapOnly = [] { return onTap(kApp); };

  // The second process joins the tap: both tones at the app's volume.
  engine().updateTapProcesses(kApp, both);
  ASSERT_TRUE(waitFor(queue(), onTapOnly));
  EXPECT_NEAR(level("speakers"), sumOfTones(0.5, 0.5), kTolerance);

  // Taken off the list again, it goes back to its own output.
  engine().updateTapProcesses(kApp, first);
  ASSERT_TRUE(waitFor(queue(), [&] { return session().linkedTargets(kApp).size() == 2; }));
  EXPECT_NEAR(level("speakers"), sumOfTones(0.5, 1.0), kTolerance);

  // A chain built with the whole list has a sink of its own; given the same list, the first
  // chain joins that sink rather than keep a second one of the same processes, which would
  // leave one device without the stream that can sit on the other's sink only.
  engine().createTap(kApp, both, std::string("headphones"));
  engine().updateTapProcesses(kApp, both);
  ASSERT_TRUE(waitFor(queue(), onTapOnly));
  queue().runFor(Seconds(0.3));
  EXPECT_EQ(session().nodesNamed("mixelot.tap.").size(), 1u);
  auto [speakers, headphones] = levels();
  EXPECT_NEAR(speakers, sumOfTones(0.5, 0.5), kTolerance);
  EXPECT_NEAR(headphones, sumOfTones(1.0, 1.0), kTolerance);
}

TEST_F(ChainsTest, TwoAppsNeverShareASinkNorHearOneProcessTwice) {
  // A process object another app's chains still name (a new process given the PID of one that
  // ended): each app's chains read a sink of their own, and the stream plays through one of them.
  route();
  engine().createTap("org.example.Other", appProcesses(), std::nullopt);
  queue().runFor(Seconds(0.3));
  EXPECT_EQ(session().nodesNamed("mixelot.tap.").size(), 2u);
  EXPECT_TRUE(onTap(kApp));
  EXPECT_NEAR(level("speakers"), kToneLevel, kTolerance);
  engine().removeTaps("org.example.Other");
}

TEST_F(ChainsTest, RemovingChainsGivesTheAppBackItsOwnOutput) {
  route();
  engine().setAppVolume(kApp, 0.5f);
  engine().removeTaps(kApp);
  ASSERT_TRUE(waitFor(queue(), [] { return linkedTo(kApp, "speakers"); }));
  EXPECT_NEAR(level("speakers"), kToneLevel, kTolerance);
  EXPECT_TRUE(session().nodesNamed("mixelot.").empty());

  route("headphones");
  engine().stopAll();
  ASSERT_TRUE(waitFor(queue(), [] { return linkedTo(kApp, "speakers"); }));
  EXPECT_NEAR(level("speakers"), kToneLevel, kTolerance);
  EXPECT_TRUE(session().nodesNamed("mixelot.").empty());
  // Nothing of ours in the session manager's saved stream state either.
  EXPECT_EQ(session().savedStreamState().find("mixelot"), std::string::npos)
      << session().savedStreamState();
}

}  // namespace
}  // namespace mixelot
