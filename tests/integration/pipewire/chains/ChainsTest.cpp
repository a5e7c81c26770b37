// Per-app volume you can hear: chains of the real engine on the PipeWire backend, measured at
// the devices' monitors.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "engine/PlaythroughEngine.h"
#include "engine/hal/PropertyReads.h"
#include "engine/hal/pipewire/PipeWireAudioHardware.h"
#include "support/SessionTest.h"

namespace mixelot {
namespace {

using hal::pipewire::PipeWireAudioHardware;
using testsupport::session;
using testsupport::waitFor;
using testsupport::whileRunning;
namespace selector = hal::selector;

[[maybe_unused]] auto* const kSession =
    ::testing::AddGlobalTestEnvironment(new testsupport::SessionEnvironment);

constexpr const char* kApp = "org.example.Music";
using testsupport::kTolerance;
using testsupport::kToneLevel;
constexpr double kSilence = -60.0;

class ChainsTest : public ::testing::Test {
 protected:
  static void TearDownTestSuite() {
    if (tone_) session().stopTone(*tone_);
    tone_.reset();
  }
  virtual bool pulse() const { return false; }

  void SetUp() override {
    MIXELOT_REQUIRE_SESSION();
    // One tone app for a run of tests, started again when the kind of app changes.
    if (!tone_ || tonePulse_ != pulse()) {
      if (tone_) session().stopTone(*tone_);
      tone_ = session().tone(kApp, 440, {.pulse = pulse()});
      tonePulse_ = pulse();
    }
    ASSERT_TRUE(tone_) << "the tone app did not start";
    hardware_ = std::make_unique<PipeWireAudioHardware>(queue_);
    ASSERT_TRUE(hardware_->isConnected());
    engine_ = std::make_unique<PlaythroughEngine>(*hardware_, queue_);
    engine_->setPermissionGranted(true);
    ASSERT_TRUE(waitFor(queue_, [&] { return !appProcesses().empty(); }));
  }
  void TearDown() override {
    if (engine_) engine_->stopAll();
    engine_.reset();
    hardware_.reset();
    if (secondTone_) session().stopTone(*secondTone_);
  }

  std::vector<hal::ObjectID> appProcesses() {
    std::vector<hal::ObjectID> found;
    auto processes =
        hal::readObjectList(*hardware_, hal::kSystemObject, {selector::kProcessObjects});
    for (auto process : processes.value_or(std::vector<hal::ObjectID>{}))
      if (hal::readString(*hardware_, process, {selector::kProcessBundleID}) == kApp)
        found.push_back(process);
    return found;
  }
  // Builds the app's chain on `device` (the default when empty) and waits until the app plays
  // through it.
  void route(const std::string& device = {}) {
    engine_->createTap(kApp, appProcesses(),
                       device.empty() ? std::nullopt : std::optional<std::string>(device));
    ASSERT_TRUE(waitFor(queue_, [&] {
      auto targets = session().linkedTargets(kApp);
      return targets.size() == 1 && targets[0].starts_with("mixelot.tap.");
    })) << "the app's stream never reached the tap";
  }
  double level(const std::string& device) {
    auto measured = whileRunning(queue_, [&] { return session().level(device); });
    EXPECT_TRUE(measured) << "could not measure " << device;
    if (measured) std::printf("  level on %s: %.2f dB\n", device.c_str(), *measured);
    return measured.value_or(-1000.0);
  }
  std::pair<double, double> levels(const std::string& first, const std::string& second) {
    auto result = whileRunning(queue_, [&] {
      auto a = std::async(std::launch::async, [&] { return session().level(first); });
      auto b = session().level(second);
      return std::make_pair(a.get().value_or(-1000.0), b.value_or(-1000.0));
    });
    std::printf("  levels: %s %.2f dB, %s %.2f dB\n", first.c_str(), result.first, second.c_str(),
                result.second);
    return result;
  }

  static inline std::optional<pid_t> tone_;
  static inline bool tonePulse_ = false;
  std::optional<pid_t> secondTone_;
  PollMainQueue queue_;
  std::unique_ptr<PipeWireAudioHardware> hardware_;
  std::unique_ptr<PlaythroughEngine> engine_;
};

class ChainsForEitherClientTest : public ChainsTest, public ::testing::WithParamInterface<bool> {
 protected:
  bool pulse() const override { return GetParam(); }
};
INSTANTIATE_TEST_SUITE_P(, ChainsForEitherClientTest,
                         ::testing::ValuesIn(testsupport::kPulseClients), testsupport::clientKind);

TEST_P(ChainsForEitherClientTest, AppVolumeScalesWhatTheDevicePlays) {
  route();
  engine_->setLevelMetering(true);
  EXPECT_NEAR(level("speakers"), kToneLevel, kTolerance);
  // The level meter saw the tone's peak while the device was measured.
  engine_->sampleLevels();
  EXPECT_NEAR(engine_->appLevel(kApp), 0.5, 0.02);
  engine_->setAppVolume(kApp, 0.5f);
  EXPECT_NEAR(level("speakers"), kToneLevel - 6.02, kTolerance);
}

TEST_P(ChainsForEitherClientTest, MuteFadesToSilenceWithinFiftyMillisecondsWithoutAClick) {
  route();
  // Record across the mute: the recording starts, the mute lands in its middle.
  auto recording = std::async(std::launch::async, [] { return session().record("speakers", 1.2); });
  queue_.runFor(Seconds(0.7));
  engine_->setAppMuted(kApp, true);
  auto samples = whileRunning(queue_, [&] { return recording.get(); });
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

  engine_->setAppMuted(kApp, false);
  EXPECT_NEAR(level("speakers"), kToneLevel, kTolerance);
}

TEST_P(ChainsForEitherClientTest, RoutesToOneOrBothDevicesWithTheirOwnVolumes) {
  route("headphones");
  auto [speakers, headphones] = levels("speakers", "headphones");
  EXPECT_LT(speakers, kSilence);
  EXPECT_NEAR(headphones, kToneLevel, kTolerance);

  engine_->createTap(kApp, appProcesses(), std::string("speakers"));
  engine_->setAppDeviceVolume(kApp, "speakers", 0.25f);
  engine_->setAppDeviceVolume(kApp, "headphones", 1.0f);
  std::tie(speakers, headphones) = levels("speakers", "headphones");
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
  engine_->setAppVolume(kApp, 0.5f);
  const auto first = appProcesses();
  // Our loop keeps running meanwhile: the daemon waits for our nodes when a new stream joins.
  secondTone_ = whileRunning(queue_, [] { return session().tone(kApp, 660); });
  ASSERT_TRUE(secondTone_) << "the second tone did not start";
  ASSERT_TRUE(waitFor(queue_, [&] { return appProcesses().size() == 2; }));
  const auto both = appProcesses();
  auto onTapOnly = [&] {
    auto targets = session().linkedTargets(kApp);
    return targets.size() == 1 && targets[0].starts_with("mixelot.tap.");
  };

  // The second process joins the tap: both tones at the app's volume.
  engine_->updateTapProcesses(kApp, both);
  ASSERT_TRUE(waitFor(queue_, onTapOnly));
  EXPECT_NEAR(level("speakers"), sumOfTones(0.5, 0.5), kTolerance);

  // Taken off the list again, it goes back to its own output.
  engine_->updateTapProcesses(kApp, first);
  ASSERT_TRUE(waitFor(queue_, [&] { return session().linkedTargets(kApp).size() == 2; }));
  EXPECT_NEAR(level("speakers"), sumOfTones(0.5, 1.0), kTolerance);

  // A chain built with the whole list has a sink of its own; given the same list, the first
  // chain joins that sink rather than keep a second one of the same processes, which would
  // leave one device without the stream that can sit on the other's sink only.
  engine_->createTap(kApp, both, std::string("headphones"));
  engine_->updateTapProcesses(kApp, both);
  ASSERT_TRUE(waitFor(queue_, onTapOnly));
  queue_.runFor(Seconds(0.3));
  EXPECT_EQ(session().nodesNamed("mixelot.tap.").size(), 1u);
  auto [speakers, headphones] = levels("speakers", "headphones");
  EXPECT_NEAR(speakers, sumOfTones(0.5, 0.5), kTolerance);
  EXPECT_NEAR(headphones, sumOfTones(1.0, 1.0), kTolerance);
}

TEST_F(ChainsTest, RemovingChainsGivesTheAppBackItsOwnOutput) {
  route();
  engine_->setAppVolume(kApp, 0.5f);
  engine_->removeTaps(kApp);
  ASSERT_TRUE(waitFor(queue_, [&] {
    return session().linkedTargets(kApp) == std::vector<std::string>{"speakers"};
  }));
  EXPECT_NEAR(level("speakers"), kToneLevel, kTolerance);
  EXPECT_TRUE(session().nodesNamed("mixelot.").empty());

  route("headphones");
  engine_->stopAll();
  ASSERT_TRUE(waitFor(queue_, [&] {
    return session().linkedTargets(kApp) == std::vector<std::string>{"speakers"};
  }));
  EXPECT_NEAR(level("speakers"), kToneLevel, kTolerance);
  EXPECT_TRUE(session().nodesNamed("mixelot.").empty());
  // Nothing of ours in the session manager's saved stream state either.
  EXPECT_EQ(session().savedStreamState().find("mixelot"), std::string::npos)
      << session().savedStreamState();
}

}  // namespace
}  // namespace mixelot
