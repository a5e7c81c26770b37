#include <gmock/gmock.h>

#include "ModelFixture.h"

namespace mixelot::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST_F(ModelTest, ProcessesFoldIntoTheirApplication) {
  runApp(100, "org.example.Player", "Player");
  auto first = play(100, "org.example.Player");
  auto second = play(100, "org.example.Player");
  // A helper without an application of its own, two levels below the player.
  processInfo.chain({102, 101, 100});
  runApp(102, "org.example.Player.gpu", "not a bundle", /*isBundle=*/false);
  auto helper = play(102, "org.example.Player.gpu");
  // Through the helper table: no application and no ancestor, only its bundle identifier.
  runApp(200, "com.google.Chrome", "Chrome");
  auto renderer = play(201, "com.google.Chrome.helper.renderer");
  // Through the dot rule.
  runApp(300, "com.example.tool", "Tool");
  auto worker = play(301, "com.example.tool.worker");
  // Read through 'prun' when 'piro' cannot be read.
  runApp(400, "org.example.Radio", "radio");
  auto radio = play(400, "org.example.Radio");
  sim.addFault({.operation = SimAudioSystem::Operation::kGetPropertyData,
                .object = radio,
                .selector = hal::selector::kProcessIsRunningOutput});
  makeManager();

  ASSERT_THAT(ids(), ElementsAre("com.google.Chrome", "org.example.Player", "org.example.Radio",
                                 "com.example.tool"));
  EXPECT_THAT(app("org.example.Player")->processObjectIDs, ElementsAre(first, second, helper));
  EXPECT_EQ(app("org.example.Player")->name, "Player");
  EXPECT_EQ(app("org.example.Player")->icon, "icon-Player");
  EXPECT_THAT(app("com.google.Chrome")->processObjectIDs, ElementsAre(renderer));
  EXPECT_THAT(app("com.example.tool")->processObjectIDs, ElementsAre(worker));
  EXPECT_THAT(taps("org.example.Player"), ElementsAre("A"));
}

TEST_F(ModelTest, OnlyTheRulesFirstMatchAndFiveAncestorsCount) {
  // The helper table matches, its application is not running: the dot rule is not tried even
  // though it would find a running bundle.
  runApp(10, "com.google.Chrome.helper", "Chrome Helper");
  play(11, "com.google.Chrome.helper.renderer");
  // The dot rule needs three components and a bundle.
  runApp(20, "example", "Example");
  play(21, "example.worker");
  runApp(30, "org.example.Tool", "Tool", /*isBundle=*/false);
  play(31, "org.example.Tool.worker");
  // An application six steps up is out of reach; five steps up is found.
  runApp(40, "org.example.Far", "Far");
  processInfo.chain({46, 45, 44, 43, 42, 41, 40});
  play(46, "none");
  runApp(50, "org.example.Near", "Near");
  processInfo.chain({55, 54, 53, 52, 51, 50});
  play(55, "none");
  makeManager();
  EXPECT_THAT(ids(), ElementsAre("org.example.Near"));
}

TEST_F(ModelTest, FiltersKeepOutOurselvesHiddenNonAudioAndSystemProcesses) {
  runApp(processInfo.ownPid, "org.example.Self", "Self");
  play(processInfo.ownPid, "org.example.Self");
  runApp(1, "com.corvana.Mixelot", "Mixelot");  // our own id, under another PID
  play(1, "com.corvana.Mixelot");
  runApp(2, "com.apple.finder", "Finder");
  play(2, "com.apple.finder");
  runApp(3, "com.apple.audio.Helper", "Audio");
  play(3, "com.apple.audio.Helper");
  runApp(4, "com.apple.cmioAssistant", "Camera");
  play(4, "com.apple.cmioAssistant");
  runApp(5, "pipewire-pulse", "Sound server");
  play(5, "pipewire-pulse");
  runApp(6, "org.example.Hidden", "Hidden");
  play(6, "org.example.Hidden");
  prefs.set("hiddenApps", std::vector<std::string>{"org.example.Hidden"});
  runApp(7, "org.example.Silent", "Silent");
  sim.addProcess(7, "org.example.Silent", /*isRunningOutput=*/false);
  runApp(8, "org.example.Kept", "Kept");
  play(8, "org.example.Kept");
  makeManager();
  EXPECT_THAT(ids(), ElementsAre("org.example.Kept"));
}

TEST_F(ModelTest, SilentAppStaysForTheGracePeriodThenLosesItsTaps) {
  runApp(100, "org.example.Player", "Player");
  auto process = play(100, "org.example.Player");
  makeManager();
  ASSERT_THAT(taps("org.example.Player"), ElementsAre("A"));

  sim.setProperty(process, {hal::selector::kProcessIsRunningOutput, hal::scope::kOutput},
                  uint32_t{0});
  queue.advance(Seconds(9.0));  // passes at 3, 6 and 9 s do not see it
  EXPECT_THAT(ids(), ElementsAre("org.example.Player"));
  EXPECT_THAT(taps("org.example.Player"), ElementsAre("A"));
  queue.advance(Seconds(0.99));
  manager->refreshApps();  // 9.99 s after it was last seen
  EXPECT_THAT(ids(), ElementsAre("org.example.Player"));
  queue.advance(Seconds(2.1));  // the 12 s pass
  EXPECT_THAT(ids(), IsEmpty());
  EXPECT_THAT(taps("org.example.Player"), IsEmpty());
  EXPECT_FALSE(manager->lastSeenDates()->count("org.example.Player"));
  EXPECT_TRUE(sim.liveTaps().empty());
}

TEST_F(ModelTest, ChainsFollowTheProcessesAnAppStartsAndEnds) {
  runApp(100, "org.example.Browser", "Browser");
  auto first = play(100, "org.example.Browser");
  makeManager();
  manager->setRouting("org.example.Browser", {"A", "B"});
  manager->setVolume("org.example.Browser", 0.3f);
  const std::vector<std::shared_ptr<AppTapState>> chains{tap("org.example.Browser", "A"),
                                                         tap("org.example.Browser", "B")};
  ASSERT_TRUE(chains[0] && chains[1]);
  auto tappedBy = [&](const std::shared_ptr<AppTapState>& chain) {
    return sim.tapDescription(chain->tapObjectID)->processes;
  };
  auto tapWrites = [&] {
    std::vector<hal::ObjectID> taps;
    for (const auto& event : sim.events()) {
      EXPECT_EQ(event.operation, "set tdsc/glob/0");  // nothing built, nothing torn down
      taps.push_back(event.object);
    }
    return taps;
  };
  sim.clearEvents();

  // A helper process starts playing: both chains tap it too, from the pass its arrival triggers.
  processInfo.chain({101, 100});
  auto helper = play(101, "org.example.Browser.audio");
  settle();
  for (const auto& chain : chains) {
    EXPECT_THAT(tappedBy(chain), ElementsAre(first, helper));
    EXPECT_FLOAT_EQ(chain->targetVolume.load(), 0.3f);
  }
  EXPECT_EQ(tapWrites().size(), 2u);
  EXPECT_EQ(tap("org.example.Browser", "A"), chains[0]);

  // Passes that find the same processes write nothing.
  sim.clearEvents();
  queue.advance(Seconds(6.0));
  EXPECT_THAT(tapWrites(), IsEmpty());

  // The first process ends: the chains keep the helper only.
  sim.removeObject(first);
  settle();
  for (const auto& chain : chains) EXPECT_THAT(tappedBy(chain), ElementsAre(helper));
  EXPECT_EQ(tapWrites().size(), 2u);
}

TEST_F(ModelTest, OnlyAnAppSeenThisPassRetriesItsChain) {
  const std::string failure = "[Mixelot] Failed to create tap for org.example.Player";
  sim.addFault({.operation = SimAudioSystem::Operation::kCreateProcessTap});
  runApp(100, "org.example.Player", "Player");
  auto process = play(100, "org.example.Player");
  makeManager();
  EXPECT_TRUE(log.contains(failure));
  log.clear();
  queue.advance(Seconds(3.0));
  EXPECT_EQ(log.lines(), std::vector<std::string>{failure});

  // Silent, it stays listed for the grace period, and no pass tries its old processes again.
  sim.setProperty(process, {hal::selector::kProcessIsRunningOutput, hal::scope::kOutput},
                  uint32_t{0});
  log.clear();
  sim.clearEvents();
  queue.advance(Seconds(6.0));
  EXPECT_THAT(ids(), ElementsAre("org.example.Player"));
  EXPECT_THAT(log.lines(), IsEmpty());
  EXPECT_THAT(sim.events(), IsEmpty());

  // Playing again, it is tried again; and built once the layer lets it.
  sim.setProperty(process, {hal::selector::kProcessIsRunningOutput, hal::scope::kOutput},
                  uint32_t{1});
  queue.advance(Seconds(3.0));
  EXPECT_EQ(log.lines(), std::vector<std::string>{failure});
  sim.clearFaults();
  queue.advance(Seconds(3.0));
  EXPECT_THAT(taps("org.example.Player"), ElementsAre("A"));
}

TEST_F(ModelTest, PublishesOnlyRealChangesSortedIgnoringCase) {
  runApp(100, "org.example.Zoom", "Zoom");
  play(100, "org.example.Zoom");
  makeManager();
  int changes = 0;
  auto subscription = manager->audioApps().observe([&] { ++changes; });

  // A second process of a listed app changes only processObjectIDs: no notification, but the
  // record carries the new object for chains built later.
  auto extra = play(100, "org.example.Zoom");
  settle();
  EXPECT_EQ(changes, 0);
  EXPECT_EQ(app("org.example.Zoom")->processObjectIDs.back(), extra);
  queue.advance(Seconds(3.0));
  EXPECT_EQ(changes, 0);

  runApp(200, "com.apple.Safari", "safari");
  play(200, "com.apple.Safari");
  runApp(300, "org.example.Alpha", "Alpha");
  play(300, "org.example.Alpha");
  settle();
  EXPECT_EQ(changes, 1);  // both arrivals in one coalesced pass
  EXPECT_THAT(ids(), ElementsAre("org.example.Alpha", "com.apple.Safari", "org.example.Zoom"));
}

TEST_F(ModelTest, MonitoringStopsAndPassesNeverOverlap) {
  runApp(100, "org.example.Player", "Player");
  play(100, "org.example.Player");
  makeManager();
  EXPECT_EQ(sim.listenerCount(), 1u);
  EXPECT_TRUE(manager->isMonitoring());

  // A chain that takes its time to come alive runs the main queue while it waits: a pass asked
  // for meanwhile waits for the running one, and a volume set meanwhile is not overwritten by
  // the pass's copy of the list.
  sim.setAggregatesAlive(false);
  runApp(200, "org.example.Radio", "Radio");
  play(200, "org.example.Radio");
  int passes = 0;
  auto counter = manager->lastSeenDates().observe([&] { ++passes; });
  queue.post([&] { manager->setVolume("org.example.Player", 0.3f); });
  queue.post([&] { manager->refreshApps(); });
  manager->refreshApps();
  EXPECT_EQ(passes, 1);
  settle();
  EXPECT_EQ(passes, 2);  // the one asked for meanwhile, after the first
  EXPECT_FLOAT_EQ(app("org.example.Player")->currentVolume, 0.3f);
  EXPECT_FLOAT_EQ(target("org.example.Player", "A"), 0.3f);
  EXPECT_THAT(taps("org.example.Radio"), ElementsAre("A"));

  manager->stopMonitoring();
  EXPECT_EQ(sim.listenerCount(), 0u);
  EXPECT_FALSE(manager->isMonitoring());
  play(200, "org.example.Radio");
  queue.advance(Seconds(30.0));
  EXPECT_EQ(app("org.example.Radio")->processObjectIDs.size(), 1u);  // no pass ran

  // Passes already queued do nothing once the manager is gone.
  manager->startMonitoring();
  play(100, "org.example.Player");
  manager.reset();
  EXPECT_EQ(sim.listenerCount(), 0u);
  queue.advance(Seconds(10.0));
}

TEST_F(ModelTest, ANewAppsRowKeepsWhatChangedWhileItsFirstChainCameAlive) {
  const std::string player = "org.example.Player";
  makeManager();
  runApp(100, player, "Player");
  play(100, player);
  sim.setAggregatesAlive(false);
  queue.post([&] {
    manager->setVolume(player, 0.4f);
    manager->setRouting(player, {"B"});
  });
  manager->refreshApps();
  settle();
  EXPECT_FLOAT_EQ(app(player)->currentVolume, 0.4f);
  EXPECT_THAT(app(player)->selectedOutputDeviceUIDs, ElementsAre("B"));
  EXPECT_THAT(taps(player), ElementsAre("B"));
  EXPECT_FLOAT_EQ(target(player, "B"), 0.4f);
  // The next save stores the row's volume, which is the right one.
  manager->setVolume("org.example.Other", 0.1f);
  EXPECT_FLOAT_EQ(prefs.floatTable("savedVolumes")->at(player), 0.4f);
}

TEST_F(ModelTest, PermissionGrantedLaterBuildsTheChains) {
  runApp(100, "org.example.Player", "Player");
  play(100, "org.example.Player");
  PlaythroughEngine fresh(sim, queue);
  FakePermissionService service;
  service.status = AudioPermissionStatus::denied;
  AudioRecordingPermission permission(service, queue);
  manager = std::make_unique<PerAppAudioManager>(sim, queue, prefs, workspace, processInfo, &fresh,
                                                 &permission);
  EXPECT_THAT(ids(), ElementsAre("org.example.Player"));
  EXPECT_FALSE(fresh.hasTap("org.example.Player"));

  service.status = AudioPermissionStatus::unknown;
  permission.refreshStatus();
  settle();
  EXPECT_FALSE(fresh.permissionGranted());
  service.status = AudioPermissionStatus::authorized;
  permission.refreshStatus();
  settle();
  EXPECT_TRUE(fresh.permissionGranted());
  EXPECT_TRUE(fresh.hasTap("org.example.Player"));
  manager.reset();
  fresh.stopAll();
}

}  // namespace
}  // namespace mixelot::testing
