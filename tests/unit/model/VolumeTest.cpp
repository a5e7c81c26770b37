#include <gmock/gmock.h>

#include <cmath>

#include "ModelFixture.h"

namespace mixelot::testing {
namespace {

using ::testing::ElementsAre;

class VolumeTest : public ModelTest {
 protected:
  VolumeTest() {
    runApp(100, "org.example.Player", "Player");
    play(100, "org.example.Player");
    runApp(200, "org.example.Radio", "Radio");
    play(200, "org.example.Radio");
    makeManager();
  }
  std::optional<float> storedVolume(const std::string& id) const {
    auto table = prefs.floatTable("savedVolumes");
    if (!table || !table->count(id)) return std::nullopt;
    return table->at(id);
  }
  static constexpr const char* kPlayer = "org.example.Player";
  static constexpr const char* kRadio = "org.example.Radio";
};

TEST_F(VolumeTest, SetVolumeClampsUnmutesAndIsRemembered) {
  manager->setVolume(kPlayer, 1.7f);
  EXPECT_EQ(app(kPlayer)->currentVolume, 1.0f);
  manager->setVolume(kPlayer, std::nanf(""));
  EXPECT_EQ(app(kPlayer)->currentVolume, 0.0f);
  EXPECT_EQ(storedVolume(kPlayer), 0.0f);
  EXPECT_FALSE(app(kPlayer)->isMuted);  // dragged to zero is not muted

  manager->toggleMute(kPlayer);
  manager->setVolume(kPlayer, 0.7f);
  EXPECT_FALSE(app(kPlayer)->isMuted);
  EXPECT_FALSE(tapMuted(kPlayer, "A"));
  EXPECT_FLOAT_EQ(target(kPlayer, "A"), 0.7f);
  EXPECT_EQ(storedVolume(kPlayer), 0.7f);
  // An app that is not listed still has its volume remembered.
  manager->setVolume("org.example.Later", 0.4f);
  EXPECT_EQ(storedVolume("org.example.Later"), 0.4f);
}

TEST_F(VolumeTest, MuteKeepsTheVolumeToComeBackTo) {
  manager->setVolume(kPlayer, 0.3f);
  manager->toggleMute(kPlayer);
  EXPECT_TRUE(app(kPlayer)->isMuted);
  EXPECT_EQ(app(kPlayer)->currentVolume, 0.0f);
  EXPECT_TRUE(tapMuted(kPlayer, "A"));
  EXPECT_FLOAT_EQ(target(kPlayer, "A"), 0.3f);  // the ramp to silence comes from the mute flag
  EXPECT_EQ(storedVolume(kPlayer), 0.3f);
  manager->toggleMute("org.example.NotListed");  // nothing at all
  EXPECT_FALSE(manager->mutedStates()->count("org.example.NotListed"));

  // Muting all keeps the earlier mute; unmuting all restores each app's volume.
  manager->setVolume(kRadio, 0.8f);
  EXPECT_FALSE(manager->allAppsMuted());
  EXPECT_TRUE(manager->muteAll());
  EXPECT_TRUE(manager->allAppsMuted());
  EXPECT_TRUE(tapMuted(kRadio, "A"));
  EXPECT_FALSE(manager->muteAll());  // nothing left to mute
  manager->unmuteAll();
  EXPECT_FLOAT_EQ(app(kPlayer)->currentVolume, 0.3f);
  EXPECT_FLOAT_EQ(app(kRadio)->currentVolume, 0.8f);
  EXPECT_FALSE(tapMuted(kPlayer, "A"));
  EXPECT_FALSE(tapMuted(kRadio, "A"));
  EXPECT_TRUE(manager->preMuteVolumes()->empty());

  // A toggled unmute leaves the pre-mute volume behind, but a volume set since is newer and wins.
  manager->toggleMute(kPlayer);
  manager->toggleMute(kPlayer);
  EXPECT_FLOAT_EQ(target(kPlayer, "A"), 0.3f);
  EXPECT_EQ(manager->preMuteVolumes()->count(kPlayer), 1u);
  manager->setVolume(kPlayer, 0.9f);
  manager->unmuteAll();
  EXPECT_FLOAT_EQ(app(kPlayer)->currentVolume, 0.9f);
  EXPECT_FLOAT_EQ(target(kPlayer, "A"), 0.9f);
}

TEST_F(VolumeTest, VolumesFollowTheDefaultDeviceAndBack) {
  manager->setVolume(kPlayer, 0.3f);
  manager->toggleMute(kRadio);
  switchDefaultTo(deviceB);
  EXPECT_EQ(*manager->currentDeviceUID(), "B");
  // A device never seen starts from the volumes just saved for the old one; mutes are lifted.
  EXPECT_FLOAT_EQ(app(kPlayer)->currentVolume, 0.3f);
  EXPECT_FLOAT_EQ(target(kPlayer, "B"), 0.3f);
  EXPECT_FALSE(app(kRadio)->isMuted);
  EXPECT_FALSE(tapMuted(kRadio, "B"));
  manager->setVolume(kPlayer, 0.9f);

  switchDefaultTo(deviceA);
  EXPECT_FLOAT_EQ(app(kPlayer)->currentVolume, 0.3f);
  EXPECT_FLOAT_EQ(target(kPlayer, "A"), 0.3f);
  switchDefaultTo(deviceB);
  EXPECT_FLOAT_EQ(app(kPlayer)->currentVolume, 0.9f);
  EXPECT_FLOAT_EQ(prefs.nestedFloatTable("deviceSpecificVolumes")->at("A").at(kPlayer), 0.3f);
}

TEST_F(ModelTest, ChainsRebuiltOnANewDefaultDevicePlayWhatTheRowShows) {
  // B has a table of its own that does not know the player: the switch puts it at 1.0, not at
  // the default volume meant for new apps.
  prefs.set("defaultVolume", 0.5f);
  prefs.set("deviceSpecificVolumes",
            std::map<std::string, std::map<std::string, float>>{{"B", {{"org.example.X", 0.2f}}}});
  runApp(100, "org.example.Player", "Player");
  play(100, "org.example.Player");
  makeManager();
  ASSERT_FLOAT_EQ(target("org.example.Player", "A"), 0.5f);
  switchDefaultTo(deviceB);
  EXPECT_FLOAT_EQ(app("org.example.Player")->currentVolume, 1.0f);
  EXPECT_FLOAT_EQ(target("org.example.Player", "B"), 1.0f);
  EXPECT_FLOAT_EQ(tap("org.example.Player", "B")->currentGain, 1.0f);
}

TEST_F(VolumeTest, MutedAppComingBackStartsMuted) {
  manager->setVolume(kPlayer, 0.5f);
  manager->toggleMute(kPlayer);
  for (auto object : app(kPlayer)->processObjectIDs) sim.removeObject(object);
  queue.advance(Seconds(12.0));
  ASSERT_EQ(app(kPlayer), nullptr);
  ASSERT_TRUE(taps(kPlayer).empty());

  play(100, kPlayer);
  settle();
  ASSERT_NE(app(kPlayer), nullptr);
  EXPECT_TRUE(app(kPlayer)->isMuted);
  EXPECT_EQ(app(kPlayer)->currentVolume, 0.0f);
  EXPECT_TRUE(tapMuted(kPlayer, "A"));
  EXPECT_EQ(target(kPlayer, "A"), 0.0f);
  manager->toggleMute(kPlayer);
  EXPECT_FLOAT_EQ(target(kPlayer, "A"), 0.5f);
}

}  // namespace
}  // namespace mixelot::testing
