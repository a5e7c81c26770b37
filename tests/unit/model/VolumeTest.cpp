// One playing app's volume, mute and routing, and what of them is saved and read back.
#include <gmock/gmock.h>

#include <cmath>

#include "ModelFixture.h"

namespace mixelot::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kPlayer = "org.example.Player";
constexpr const char* kRadio = "org.example.Radio";

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

class RoutingTest : public ModelTest {
 protected:
  RoutingTest() {
    runApp(100, kPlayer, "Player");
    play(100, kPlayer);
    makeManager();
  }
  std::optional<std::vector<std::string>> storedRouting() const {
    auto table = prefs.stringListTable("appDeviceRouting");
    if (!table || !table->count(kPlayer)) return std::nullopt;
    return table->at(kPlayer);
  }
};

TEST_F(RoutingTest, TogglesCreateAndRemoveExactlyTheRightTaps) {
  ASSERT_THAT(taps(kPlayer), ElementsAre("A"));
  // Toggling the default device on an app that follows it changes no chain.
  sim.clearEvents();
  manager->toggleDeviceRouting(kPlayer, "A");
  EXPECT_THAT(app(kPlayer)->selectedOutputDeviceUIDs, ElementsAre("A"));
  EXPECT_THAT(sim.events(), IsEmpty());

  manager->toggleDeviceRouting(kPlayer, "B");
  EXPECT_THAT(storedRouting().value(), ElementsAre("A", "B"));
  EXPECT_THAT(taps(kPlayer), ElementsAre("A", "B"));
  auto tapOnB = tap(kPlayer, "B");
  manager->toggleDeviceRouting(kPlayer, "A");
  EXPECT_THAT(taps(kPlayer), ElementsAre("B"));
  EXPECT_EQ(tap(kPlayer, "B"), tapOnB);  // untouched

  // Back to following the default device: the entry leaves the stored table.
  manager->toggleDeviceRouting(kPlayer, "B");
  EXPECT_THAT(app(kPlayer)->selectedOutputDeviceUIDs, IsEmpty());
  EXPECT_EQ(storedRouting(), std::nullopt);
  EXPECT_THAT(taps(kPlayer), ElementsAre("A"));
  EXPECT_EQ(sim.liveTaps().size(), 1u);

  // An app not listed keeps its routing for later; no chain is built for it.
  manager->setRouting("org.example.Later", {"B", "B"});
  EXPECT_THAT(manager->savedRouting()->at("org.example.Later"), ElementsAre("B"));
  EXPECT_THAT(taps("org.example.Later"), IsEmpty());

  // A new tap of a muted app starts muted.
  manager->toggleMute(kPlayer);
  manager->toggleDeviceRouting(kPlayer, "B");
  EXPECT_TRUE(tapMuted(kPlayer, "B"));
}

TEST_F(RoutingTest, PerDeviceVolumesAndTheMasterVolume) {
  manager->setVolume(kPlayer, 0.8f);
  manager->setRouting(kPlayer, {"A", "B"});
  manager->setDeviceVolume(kPlayer, "B", 0.25f);
  EXPECT_FLOAT_EQ(target(kPlayer, "B"), 0.25f);
  EXPECT_FLOAT_EQ(target(kPlayer, "A"), 0.8f);
  EXPECT_FLOAT_EQ(app(kPlayer)->perDeviceVolumes.at("B"), 0.25f);

  manager->setVolume(kPlayer, 0.5f);
  EXPECT_FLOAT_EQ(target(kPlayer, "B"), 0.5f);
  EXPECT_FLOAT_EQ(prefs.nestedFloatTable("appPerDeviceVolumes")->at(kPlayer).at("B"), 0.25f);

  // A chain built anew starts at its device's own volume.
  manager->setRouting(kPlayer, {"A"});
  manager->setRouting(kPlayer, {"A", "B"});
  EXPECT_FLOAT_EQ(target(kPlayer, "B"), 0.25f);
}

TEST_F(RoutingTest, AbsentDeviceFallsBackToTheDefaultAtTheAppsVolume) {
  manager->setVolume(kPlayer, 0.2f);
  manager->setRouting(kPlayer, {"Gone"});
  EXPECT_THAT(storedRouting().value(), ElementsAre("Gone"));
  // The engine builds it on the default device, under that device's key; it must not jump to
  // full volume.
  EXPECT_THAT(taps(kPlayer), ElementsAre("A"));
  EXPECT_FLOAT_EQ(target(kPlayer, "A"), 0.2f);
}

TEST_F(RoutingTest, ChangeWhileAChainComesAliveEndsOnTheLatestRouting) {
  // Building the chain on B waits for the device and runs the main queue; the user changes
  // their mind meanwhile.
  sim.setAggregatesAlive(false);
  queue.post([&] { manager->setRouting(kPlayer, {}); });
  manager->setRouting(kPlayer, {"B"});
  settle();
  EXPECT_THAT(app(kPlayer)->selectedOutputDeviceUIDs, IsEmpty());
  EXPECT_THAT(taps(kPlayer), ElementsAre("A"));
  EXPECT_EQ(sim.liveTaps().size(), 1u);
}

TEST_F(RoutingTest, DefaultDeviceUnreadableRemovesEveryChain) {
  manager->setRouting(kPlayer, {"B"});
  sim.addFault({.operation = SimAudioSystem::Operation::kGetPropertyData,
                .object = hal::kSystemObject,
                .selector = hal::selector::kDefaultOutputDevice});
  manager->setRouting(kPlayer, {});
  EXPECT_THAT(taps(kPlayer), IsEmpty());
}

class SavedStateTest : public ModelTest {
 protected:
  SavedStateTest() {
    runApp(100, kPlayer, "Player");
    play(100, kPlayer);
  }
  void restart() {
    manager.reset();
    engine.stopAll();
    makeManager();
  }
};

TEST_F(SavedStateTest, OlderRoutingIsMigratedAndRewritten) {
  prefs.set("appDeviceRouting", PreferenceDictionary{{kPlayer, "B"}, {"org.example.Other", "A"}});
  makeManager();
  EXPECT_THAT(app(kPlayer)->selectedOutputDeviceUIDs, ElementsAre("B"));
  EXPECT_THAT(taps(kPlayer), ElementsAre("B"));
  auto stored = prefs.stringListTable("appDeviceRouting");
  ASSERT_TRUE(stored);
  EXPECT_THAT(stored->at(kPlayer), ElementsAre("B"));
  EXPECT_THAT(stored->at("org.example.Other"), ElementsAre("A"));
}

TEST_F(SavedStateTest, MalformedTablesAreIgnoredWholeAndVolumesOutOfRangeClamped) {
  prefs.set("defaultVolume", 0.7f);
  prefs.set("savedVolumes", PreferenceDictionary{{kPlayer, 0.2f}, {"org.example.Other", "loud"}});
  prefs.set("appDeviceRouting",
            PreferenceDictionary{{kPlayer, PreferenceArray{"B"}}, {"org.example.Other", 3}});
  prefs.set("appPerDeviceVolumes",
            PreferenceDictionary{{kPlayer, PreferenceDictionary{{"A", 0.1f}, {"B", true}}}});
  makeManager();
  EXPECT_FLOAT_EQ(app(kPlayer)->currentVolume, 0.7f);
  EXPECT_TRUE(app(kPlayer)->selectedOutputDeviceUIDs.empty());
  EXPECT_TRUE(app(kPlayer)->perDeviceVolumes.empty());
  EXPECT_THAT(taps(kPlayer), ElementsAre("A"));
  EXPECT_FLOAT_EQ(target(kPlayer, "A"), 0.7f);

  prefs.set("appPerDeviceVolumes",
            std::map<std::string, std::map<std::string, float>>{{kPlayer, {{"B", 5.0f}}}});
  prefs.set("deviceSpecificVolumes",
            std::map<std::string, std::map<std::string, float>>{{"A", {{kPlayer, -2.0f}}}});
  restart();
  EXPECT_EQ(app(kPlayer)->perDeviceVolumes.at("B"), 1.0f);
  EXPECT_EQ(manager->savedPerDeviceVolumes()->at(kPlayer).at("B"), 1.0f);
  EXPECT_EQ(manager->savedVolumes()->at(kPlayer), 0.0f);
}

TEST_F(SavedStateTest, MutedAppComesBackAfterARestartUnmutedAtItsVolume) {
  makeManager();
  manager->setVolume(kPlayer, 0.4f);
  manager->toggleMute(kPlayer);
  manager->setVolume("org.example.Gone", 0.6f);
  manager->toggleMute(kPlayer);
  manager->toggleMute(kPlayer);
  EXPECT_FLOAT_EQ(prefs.floatTable("savedVolumes")->at(kPlayer), 0.4f);

  restart();
  EXPECT_FALSE(app(kPlayer)->isMuted);
  EXPECT_FLOAT_EQ(app(kPlayer)->currentVolume, 0.4f);
  EXPECT_FLOAT_EQ(target(kPlayer, "A"), 0.4f);
  // Apps not listed keep their entry through later saves.
  manager->setVolume(kPlayer, 0.5f);
  EXPECT_FLOAT_EQ(prefs.floatTable("savedVolumes")->at("org.example.Gone"), 0.6f);
}

TEST_F(SavedStateTest, VolumesOfTheCurrentDeviceWinOverTheLastSaved) {
  prefs.set("savedVolumes", std::map<std::string, float>{{kPlayer, 0.9f}});
  prefs.set("deviceSpecificVolumes",
            std::map<std::string, std::map<std::string, float>>{{"A", {{kPlayer, 0.35f}}}});
  makeManager();
  EXPECT_FLOAT_EQ(app(kPlayer)->currentVolume, 0.35f);
  // Without an engine the device is not asked for: the table of "default" is used.
  restart();
  manager.reset();
  makeManager(/*withEngine=*/false);
  EXPECT_EQ(*manager->currentDeviceUID(), "default");
  EXPECT_FLOAT_EQ(app(kPlayer)->currentVolume, 0.9f);
}

}  // namespace
}  // namespace mixelot::testing
