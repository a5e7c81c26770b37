#include <gmock/gmock.h>

#include "ModelFixture.h"

namespace mixelot::testing {
namespace {

using ::testing::ElementsAre;

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
  static constexpr const char* kPlayer = "org.example.Player";
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
