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

using namespace testsupport;

constexpr const char* kMusic = "org.example.Music";
constexpr const char* kRadio = "org.example.Radio";
constexpr const char* kBrowser = "org.example.Browser";

class ModelTest : public SessionTest {
 protected:
  void TearDown() override {
    rig_.reset();
    SessionTest::TearDown();
  }
  std::pair<double, double> levels() { return SessionTest::levels(rig_->queue); }
  // Whether the engine has Music's chains on `device` only.
  bool chainsOn(const std::string& device) {
    return rig_->engine.activeDeviceUIDs(kMusic) == std::vector<std::string>{device};
  }

  std::unique_ptr<ModelRig> rig_;
};

using ModelForEitherClientTest = ForEitherClient<ModelTest>;
MIXELOT_FOR_EITHER_CLIENT(ModelForEitherClientTest);

TEST_P(ModelForEitherClientTest, AToneFromAChildProcessIsListedUnderItsApp) {
  startTone(kBrowser, 550, {.child = true});
  rig_ = std::make_unique<ModelRig>();
  ASSERT_TRUE(waitFor(rig_->queue, [&] { return rig_->app(kBrowser); }));
  const AudioApp& app = *rig_->app(kBrowser);
  EXPECT_EQ(app.name, "Browser Tone");  // from the app's desktop entry
  ASSERT_EQ(app.processObjectIDs.size(), 1u);
  // The process playing is the app's child, not the app.
  auto pid = hal::readInt32(rig_->hardware, app.processObjectIDs[0], {hal::selector::kProcessPID});
  ASSERT_TRUE(pid);
  EXPECT_NE(*pid, tones_.front());
  EXPECT_EQ(rig_->processInfo.parentProcessId(*pid), tones_.front());
  EXPECT_TRUE(waitFor(rig_->queue, [&] { return onTap(kBrowser); }));
}

TEST_F(ModelTest, ASecondProcessOfAnAppJoinsItsChainsAtItsVolumeAndMute) {
  startTone(kMusic, 440);
  rig_ = std::make_unique<ModelRig>();
  ASSERT_TRUE(waitFor(rig_->queue, [&] { return onTap(kMusic); }));
  // Routed to both devices: two chains, whose taps share one sink.
  rig_->apps->setRouting(kMusic, {"speakers", "headphones"});
  rig_->apps->setVolume(kMusic, 0.5f);
  auto [speakers, headphones] = levels();
  EXPECT_NEAR(speakers, kToneLevel - 6.02, kTolerance);
  EXPECT_NEAR(headphones, kToneLevel - 6.02, kTolerance);
  const auto chains =
      std::pair(rig_->engine.chain(kMusic, "speakers"), rig_->engine.chain(kMusic, "headphones"));
  ASSERT_TRUE(chains.first && chains.second);
  ASSERT_EQ(rig_->engine.chainCount(), 2u);

  // A second instance starts playing; the next discovery pass hands it to the app's chains.
  startTone(kMusic, 660, {}, &rig_->queue);
  ASSERT_TRUE(waitFor(
      rig_->queue,
      [&] {
        const AudioApp* app = rig_->app(kMusic);
        return app && app->processObjectIDs.size() == 2 && onTap(kMusic);
      },
      3.5))
      << "the second process's stream never reached the tap";
  // The same chains took it, rather than new ones built for it.
  EXPECT_EQ(rig_->engine.chainCount(), 2u);
  EXPECT_EQ(rig_->engine.chain(kMusic, "speakers"), chains.first);
  EXPECT_EQ(rig_->engine.chain(kMusic, "headphones"), chains.second);
  EXPECT_EQ(session().nodesNamed("mixelot.tap.").size(), 1u);
  // Two tones of the same level at different frequencies add up 3 dB louder; both at 0.5.
  const double bothAtHalf = kToneLevel + 10 * std::log10(2.0) - 6.02;
  std::tie(speakers, headphones) = levels();
  EXPECT_NEAR(speakers, bothAtHalf, kTolerance);
  EXPECT_NEAR(headphones, bothAtHalf, kTolerance);

  rig_->apps->toggleMute(kMusic);
  rig_->queue.runFor(Seconds(0.1));
  std::tie(speakers, headphones) = levels();
  EXPECT_LT(speakers, kSilence);
  EXPECT_LT(headphones, kSilence);
}

TEST_F(ModelTest, ADefaultDeviceChangeRebuildsTheChainsOnTheNewDefault) {
  startTone(kMusic, 440);
  rig_ = std::make_unique<ModelRig>();
  ASSERT_TRUE(waitFor(rig_->queue, [&] { return chainsOn("speakers") && onTap(kMusic); }));
  rig_->apps->setVolume(kMusic, 0.5f);
  auto [speakers, headphones] = levels();
  EXPECT_NEAR(speakers, kToneLevel - 6.02, kTolerance);
  EXPECT_LT(headphones, kSilence);

  ASSERT_TRUE(whileRunning(rig_->queue, [] { return session().setDefault("headphones"); }));
  EXPECT_TRUE(waitFor(rig_->queue, [&] { return chainsOn("headphones") && onTap(kMusic); }));
  // At the volume the model has for the app on the new device.
  ASSERT_TRUE(rig_->app(kMusic));
  const double volume = rig_->app(kMusic)->currentVolume;
  std::tie(speakers, headphones) = levels();
  EXPECT_LT(speakers, kSilence);
  EXPECT_NEAR(headphones, kToneLevel + 20 * std::log10(volume), kTolerance);
  EXPECT_EQ(session().nodesNamed("mixelot.forward.").size(), 1u);

  ASSERT_TRUE(whileRunning(rig_->queue, [] { return session().setDefault("speakers"); }));
  EXPECT_TRUE(waitFor(rig_->queue, [&] { return chainsOn("speakers"); }));
}

TEST_F(ModelTest, TheSessionManagerRestartedUnderUsKeepsLinking) {
  // Both apps' desktop entries exist before the workspace reads them.
  startTone(kMusic, 440);
  startTone(kRadio, 660);
  session().stopTone(tones_.back());
  tones_.pop_back();
  rig_ = std::make_unique<ModelRig>();
  ASSERT_TRUE(waitFor(rig_->queue, [&] { return onTap(kMusic); }));
  // The app leaves; its chain (and the sink it played into) stays for the grace period.
  stopTones();
  ASSERT_TRUE(whileRunning(rig_->queue, [] { return session().restart("wireplumber"); }));

  // The devices went and came back with it, and so did the chains; an app started now is
  // linked, found and routed as before.
  startTone(kRadio, 660);
  ASSERT_TRUE(waitFor(rig_->queue, [&] { return onTap(kRadio); }));
  auto [speakers, headphones] = levels();
  EXPECT_NEAR(speakers, kToneLevel, kTolerance);
}

TEST_F(ModelTest, DaemonRestartedUnderUsReconnectsAndRebuildsTheChainsOnce) {
  startTone(kMusic, 440);
  rig_ = std::make_unique<ModelRig>();
  ASSERT_TRUE(waitFor(rig_->queue, [&] { return onTap(kMusic); }));
  rig_->apps->setVolume(kMusic, 0.5f);

  ASSERT_TRUE(whileRunning(rig_->queue, [] { return session().restart("pipewire"); }));
  ASSERT_TRUE(waitFor(rig_->queue, [&] {
    return rig_->hardware.isConnected() && rig_->hardware.connectionCount() == 2;
  })) << "no reconnection";
  EXPECT_FALSE(rig_->engine.hasTap(kMusic)) << "chains of the old daemon are still held";

  // The player died with its daemon; started again, it is found and routed once more.
  stopTones();
  startTone(kMusic, 440);
  ASSERT_TRUE(waitFor(rig_->queue, [&] { return onTap(kMusic); }));
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
