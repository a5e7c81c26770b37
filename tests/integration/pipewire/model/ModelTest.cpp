// The app model and the engine on the PipeWire backend, as the program runs them: apps found by
// discovery, their chains built and rebuilt by it.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "engine/hal/PropertyReads.h"
#include "support/ModelRig.h"
#include "support/SessionTest.h"

namespace mixelot {
namespace {

using testsupport::ModelRig;
using testsupport::session;
using testsupport::waitFor;
using testsupport::whileRunning;

[[maybe_unused]] auto* const kSession =
    ::testing::AddGlobalTestEnvironment(new testsupport::SessionEnvironment);

using testsupport::kTolerance;
using testsupport::kToneLevel;
constexpr double kSilence = -60.0;

bool onTap(const std::string& app) {
  auto targets = session().linkedTargets(app);
  return targets.size() == 1 && targets[0].starts_with("mixelot.tap.");
}

class ModelTest : public ::testing::Test {
 protected:
  void SetUp() override { MIXELOT_REQUIRE_SESSION(); }
  void TearDown() override {
    rig_.reset();
    for (pid_t pid : tones_) session().stopTone(pid);
  }

  void startTone(const std::string& app, int frequency,
                 testsupport::PrivateSession::ToneOptions options = {}) {
    auto pid = session().tone(app, frequency, options);
    ASSERT_TRUE(pid) << "tone " << app << " did not start";
    tones_.push_back(*pid);
  }
  std::pair<double, double> levels() {
    auto result = whileRunning(rig_->queue, [] {
      auto speakers = std::async(std::launch::async, [] { return session().level("speakers"); });
      auto headphones = session().level("headphones");
      return std::make_pair(speakers.get().value_or(-1000.0), headphones.value_or(-1000.0));
    });
    std::printf("  levels: speakers %.2f dB, headphones %.2f dB\n", result.first, result.second);
    return result;
  }

  std::vector<pid_t> tones_;
  std::unique_ptr<ModelRig> rig_;
};

class ModelForEitherClientTest : public ModelTest, public ::testing::WithParamInterface<bool> {};
INSTANTIATE_TEST_SUITE_P(, ModelForEitherClientTest,
                         ::testing::ValuesIn(testsupport::kPulseClients), testsupport::clientKind);

TEST_P(ModelForEitherClientTest, AToneFromAChildProcessIsListedUnderItsApp) {
  startTone("org.example.Browser", 550, {.child = true, .pulse = GetParam()});
  rig_ = std::make_unique<ModelRig>();
  ASSERT_TRUE(waitFor(rig_->queue, [&] { return rig_->app("org.example.Browser"); }));
  const AudioApp& app = *rig_->app("org.example.Browser");
  EXPECT_EQ(app.name, "Browser Tone");  // from the app's desktop entry
  ASSERT_EQ(app.processObjectIDs.size(), 1u);
  // The process playing is the app's child, not the app.
  auto pid = hal::readInt32(rig_->hardware, app.processObjectIDs[0], {hal::selector::kProcessPID});
  ASSERT_TRUE(pid);
  EXPECT_NE(*pid, tones_.front());
  EXPECT_EQ(rig_->processInfo.parentProcessId(*pid), tones_.front());
  EXPECT_TRUE(waitFor(rig_->queue, [&] { return onTap("org.example.Browser"); }));
}

TEST_F(ModelTest, ASecondProcessOfAnAppJoinsItsChainsAtItsVolumeAndMute) {
  startTone("org.example.Music", 440);
  rig_ = std::make_unique<ModelRig>();
  ASSERT_TRUE(waitFor(rig_->queue, [&] { return onTap("org.example.Music"); }));
  // Routed to both devices: two chains, whose taps share one sink.
  rig_->apps->setRouting("org.example.Music", {"speakers", "headphones"});
  rig_->apps->setVolume("org.example.Music", 0.5f);
  auto [speakers, headphones] = levels();
  EXPECT_NEAR(speakers, kToneLevel - 6.02, kTolerance);
  EXPECT_NEAR(headphones, kToneLevel - 6.02, kTolerance);
  const auto chains = std::pair(rig_->engine.chain("org.example.Music", "speakers"),
                                rig_->engine.chain("org.example.Music", "headphones"));
  ASSERT_TRUE(chains.first && chains.second);
  ASSERT_EQ(rig_->engine.chainCount(), 2u);

  // A second instance starts playing; the next discovery pass hands it to the app's chains. Our
  // loop keeps running meanwhile: the daemon waits for our nodes when a new stream joins.
  auto second = whileRunning(rig_->queue, [] { return session().tone("org.example.Music", 660); });
  ASSERT_TRUE(second) << "the second tone did not start";
  tones_.push_back(*second);
  ASSERT_TRUE(waitFor(
      rig_->queue,
      [&] {
        const AudioApp* app = rig_->app("org.example.Music");
        return app && app->processObjectIDs.size() == 2 && onTap("org.example.Music");
      },
      3.5))
      << "the second process's stream never reached the tap";
  // The same chains took it, rather than new ones built for it.
  EXPECT_EQ(rig_->engine.chainCount(), 2u);
  EXPECT_EQ(rig_->engine.chain("org.example.Music", "speakers"), chains.first);
  EXPECT_EQ(rig_->engine.chain("org.example.Music", "headphones"), chains.second);
  EXPECT_EQ(session().nodesNamed("mixelot.tap.").size(), 1u);
  // Two tones of the same level at different frequencies add up 3 dB louder; both at 0.5.
  const double bothAtHalf = kToneLevel + 10 * std::log10(2.0) - 6.02;
  std::tie(speakers, headphones) = levels();
  EXPECT_NEAR(speakers, bothAtHalf, kTolerance);
  EXPECT_NEAR(headphones, bothAtHalf, kTolerance);

  rig_->apps->toggleMute("org.example.Music");
  rig_->queue.runFor(Seconds(0.1));
  std::tie(speakers, headphones) = levels();
  EXPECT_LT(speakers, kSilence);
  EXPECT_LT(headphones, kSilence);
}

TEST_F(ModelTest, ADefaultDeviceChangeRebuildsTheChainsOnTheNewDefault) {
  startTone("org.example.Music", 440);
  rig_ = std::make_unique<ModelRig>();
  ASSERT_TRUE(waitFor(rig_->queue, [&] {
    return rig_->engine.activeDeviceUIDs("org.example.Music") ==
               std::vector<std::string>{"speakers"} &&
           onTap("org.example.Music");
  }));
  rig_->apps->setVolume("org.example.Music", 0.5f);
  auto [speakers, headphones] = levels();
  EXPECT_NEAR(speakers, kToneLevel - 6.02, kTolerance);
  EXPECT_LT(headphones, kSilence);

  ASSERT_TRUE(whileRunning(rig_->queue, [] { return session().setDefault("headphones"); }));
  EXPECT_TRUE(waitFor(rig_->queue, [&] {
    return rig_->engine.activeDeviceUIDs("org.example.Music") ==
               std::vector<std::string>{"headphones"} &&
           onTap("org.example.Music");
  }));
  // At the volume the model has for the app on the new device.
  ASSERT_TRUE(rig_->app("org.example.Music"));
  const double volume = rig_->app("org.example.Music")->currentVolume;
  std::tie(speakers, headphones) = levels();
  EXPECT_LT(speakers, kSilence);
  EXPECT_NEAR(headphones, kToneLevel + 20 * std::log10(volume), kTolerance);
  EXPECT_EQ(session().nodesNamed("mixelot.forward.").size(), 1u);

  ASSERT_TRUE(whileRunning(rig_->queue, [] { return session().setDefault("speakers"); }));
  EXPECT_TRUE(waitFor(rig_->queue, [&] {
    return rig_->engine.activeDeviceUIDs("org.example.Music") ==
           std::vector<std::string>{"speakers"};
  }));
}

TEST_F(ModelTest, TheSessionManagerRestartedUnderUsKeepsLinking) {
  // Both apps' desktop entries exist before the workspace reads them.
  startTone("org.example.Music", 440);
  startTone("org.example.Radio", 660);
  session().stopTone(tones_.back());
  tones_.pop_back();
  rig_ = std::make_unique<ModelRig>();
  ASSERT_TRUE(waitFor(rig_->queue, [&] { return onTap("org.example.Music"); }));
  // The app leaves; its chain (and the sink it played into) stays for the grace period.
  for (pid_t pid : tones_) session().stopTone(pid);
  tones_.clear();
  ASSERT_TRUE(whileRunning(rig_->queue, [] { return session().restartWirePlumber(); }));

  // The devices went and came back with it, and so did the chains; an app started now is
  // linked, found and routed as before.
  startTone("org.example.Radio", 660);
  ASSERT_TRUE(waitFor(rig_->queue, [&] { return onTap("org.example.Radio"); }));
  auto [speakers, headphones] = levels();
  EXPECT_NEAR(speakers, kToneLevel, kTolerance);
}

TEST_F(ModelTest, DaemonRestartedUnderUsReconnectsAndRebuildsTheChainsOnce) {
  startTone("org.example.Music", 440);
  rig_ = std::make_unique<ModelRig>();
  ASSERT_TRUE(waitFor(rig_->queue, [&] { return onTap("org.example.Music"); }));
  rig_->apps->setVolume("org.example.Music", 0.5f);

  ASSERT_TRUE(whileRunning(rig_->queue, [] { return session().restartPipeWire(); }));
  ASSERT_TRUE(waitFor(rig_->queue, [&] {
    return rig_->hardware.isConnected() && rig_->hardware.connectionCount() == 2;
  })) << "no reconnection";
  EXPECT_FALSE(rig_->engine.hasTap("org.example.Music"))
      << "chains of the old daemon are still held";

  // The player died with its daemon; started again, it is found and routed once more.
  for (pid_t pid : tones_) session().stopTone(pid);
  tones_.clear();
  startTone("org.example.Music", 440);
  ASSERT_TRUE(waitFor(rig_->queue, [&] { return onTap("org.example.Music"); }));
  rig_->queue.runFor(Seconds(1.0));
  EXPECT_EQ(session().nodesNamed("mixelot.tap.").size(), 1u);
  EXPECT_EQ(session().nodesNamed("mixelot.forward.").size(), 1u);
  EXPECT_EQ(rig_->engine.chainCount(), 1u);
  // Its volume was remembered across.
  auto [speakers, headphones] = levels();
  EXPECT_NEAR(speakers, kToneLevel - 6.02, kTolerance);
}

}  // namespace
}  // namespace mixelot
