#include <gmock/gmock.h>

#include "ModelFixture.h"

namespace mixelot::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

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
  static constexpr const char* kPlayer = "org.example.Player";
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

}  // namespace
}  // namespace mixelot::testing
