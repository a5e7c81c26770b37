#include <gmock/gmock.h>

#include "ModelFixture.h"
#include "model/DiscoveryRules.h"

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
  // An application six steps up is out of reach; five steps up is found.
  runApp(40, "org.example.Far", "Far");
  processInfo.chain({46, 45, 44, 43, 42, 41, 40});
  play(46, "none");
  runApp(50, "org.example.Near", "Near");
  processInfo.chain({55, 54, 53, 52, 51, 50});
  play(55, "none");
  // Read through 'prun' when 'piro' cannot be read.
  runApp(400, "org.example.Radio", "radio");
  auto radio = play(400, "org.example.Radio");
  sim.addFault({.operation = SimAudioSystem::Operation::kGetPropertyData,
                .object = radio,
                .selector = hal::selector::kProcessIsRunningOutput});
  makeManager();

  ASSERT_THAT(ids(), ElementsAre("com.google.Chrome", "org.example.Near", "org.example.Player",
                                 "org.example.Radio", "com.example.tool"));
  EXPECT_THAT(app("org.example.Player")->processObjectIDs, ElementsAre(first, second, helper));
  EXPECT_EQ(app("org.example.Player")->name, "Player");
  EXPECT_EQ(app("org.example.Player")->icon, "icon-Player");
  EXPECT_THAT(app("com.google.Chrome")->processObjectIDs, ElementsAre(renderer));
  EXPECT_THAT(app("com.example.tool")->processObjectIDs, ElementsAre(worker));
  EXPECT_THAT(taps("org.example.Player"), ElementsAre("A"));
}

TEST_F(ModelTest, FiltersKeepOutOurselvesHiddenNonAudioAndSystemProcesses) {
  runApp(processInfo.ownPid, "org.example.Self", "Self");
  play(processInfo.ownPid, "org.example.Self");
  // Our own id under another PID, a file manager, system helpers, the sound server, a hidden app.
  pid_t pid = 0;
  for (auto id :
       {"com.corvana.Mixelot", "com.apple.finder", "com.apple.audio.Helper",
        "com.apple.cmioAssistant", "pipewire-pulse", "org.example.Hidden", "org.example.Kept"}) {
    runApp(++pid, id, id);
    play(pid, id);
  }
  prefs.set("hiddenApps", std::vector<std::string>{"org.example.Hidden"});
  runApp(20, "org.example.Silent", "Silent");
  sim.addProcess(20, "org.example.Silent", /*isRunningOutput=*/false);
  makeManager();
  EXPECT_THAT(ids(), ElementsAre("org.example.Kept"));
}

TEST_F(ModelTest, ChainsFollowTheProcessesAnAppStartsAndEnds) {
  runApp(100, "org.example.Browser", "Browser");
  auto first = play(100, "org.example.Browser");
  makeManager();
  manager->setRouting("org.example.Browser", {"A", "B"});
  manager->setVolume("org.example.Browser", 0.3f);
  const std::vector chains{tap("org.example.Browser", "A"), tap("org.example.Browser", "B")};
  ASSERT_TRUE(chains[0] && chains[1]);
  // Each change writes the taps' process lists in place: nothing built, nothing torn down.
  auto expectTapped = [&](std::vector<hal::ObjectID> processes, size_t writes) {
    for (const auto& chain : chains) {
      EXPECT_EQ(sim.tapDescription(chain->tapObjectID)->processes, processes);
      EXPECT_FLOAT_EQ(chain->targetVolume.load(), 0.3f);
    }
    EXPECT_EQ(sim.events().size(), writes);
    for (const auto& event : sim.events()) EXPECT_EQ(event.operation, "set tdsc/glob/0");
    EXPECT_EQ(tap("org.example.Browser", "A"), chains[0]);
    sim.clearEvents();
  };
  sim.clearEvents();

  // A helper process starts playing: both chains tap it too, from the pass its arrival triggers.
  processInfo.chain({101, 100});
  auto helper = play(101, "org.example.Browser.audio");
  settle();
  expectTapped({first, helper}, 2);
  queue.advance(Seconds(6.0));  // passes that find the same processes write nothing
  expectTapped({first, helper}, 0);
  sim.removeObject(first);
  settle();
  expectTapped({helper}, 2);
}

TEST_F(ModelTest, ASilentAppIsNotRetriedAndLeavesWithItsTapsAfterTheGracePeriod) {
  const std::string failure = "[Mixelot] Failed to create tap for org.example.Player";
  sim.addFault({.operation = SimAudioSystem::Operation::kCreateProcessTap});
  runApp(100, "org.example.Player", "Player");
  auto process = play(100, "org.example.Player");
  auto setPlaying = [&](bool playing) {
    sim.setProperty(process, {hal::selector::kProcessIsRunningOutput, hal::scope::kOutput},
                    uint32_t{playing});
  };
  makeManager();
  EXPECT_TRUE(log.contains(failure));
  log.clear();
  queue.advance(Seconds(3.0));
  EXPECT_EQ(log.lines(), std::vector<std::string>{failure});

  // Silent, it stays listed, and no pass tries its old processes again.
  setPlaying(false);
  log.clear();
  sim.clearEvents();
  queue.advance(Seconds(6.0));
  EXPECT_THAT(ids(), ElementsAre("org.example.Player"));
  EXPECT_THAT(log.lines(), IsEmpty());
  EXPECT_THAT(sim.events(), IsEmpty());

  // Playing again, it is tried again; and built once the layer lets it.
  setPlaying(true);
  queue.advance(Seconds(3.0));
  EXPECT_EQ(log.lines(), std::vector<std::string>{failure});
  sim.clearFaults();
  queue.advance(Seconds(3.0));
  EXPECT_THAT(taps("org.example.Player"), ElementsAre("A"));

  // Silent for good: the passes 3, 6 and 9 s on and a pass at 9.99 s keep it and its chain; the
  // 12 s pass removes both.
  setPlaying(false);
  queue.advance(Seconds(9.0));
  EXPECT_THAT(taps("org.example.Player"), ElementsAre("A"));
  queue.advance(Seconds(0.99));
  manager->refreshApps();
  EXPECT_THAT(ids(), ElementsAre("org.example.Player"));
  queue.advance(Seconds(2.1));
  EXPECT_THAT(ids(), IsEmpty());
  EXPECT_FALSE(manager->lastSeenDates()->count("org.example.Player"));
  EXPECT_TRUE(sim.liveTaps().empty());
}

TEST_F(ModelTest, PublishesOnlyRealChanges) {
  runApp(100, "org.example.Zoom", "Zoom");
  play(100, "org.example.Zoom");
  makeManager();
  int changes = 0;
  auto subscription = manager->audioApps().observe([&] { ++changes; });

  // A second process of a listed app changes only processObjectIDs: no notification, but the
  // record carries the new object for chains built later.
  auto extra = play(100, "org.example.Zoom");
  queue.advance(Seconds(3.0));
  EXPECT_EQ(changes, 0);
  EXPECT_EQ(app("org.example.Zoom")->processObjectIDs.back(), extra);
  // Two arrivals, one coalesced pass.
  for (auto [pid, id] : {std::pair{200, "org.example.Safari"}, {300, "org.example.Alpha"}}) {
    runApp(pid, id, id);
    play(pid, id);
  }
  settle();
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(ids().size(), 3u);
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
  engine.setPermissionGranted(false);
  FakePermissionService service;
  service.status = AudioPermissionStatus::denied;
  AudioRecordingPermission permission(service, queue);
  makeManager(/*withEngine=*/true, &permission);
  EXPECT_THAT(ids(), ElementsAre("org.example.Player"));
  EXPECT_FALSE(engine.hasTap("org.example.Player"));

  for (auto status : {AudioPermissionStatus::unknown, AudioPermissionStatus::authorized}) {
    service.status = status;
    permission.refreshStatus();
    settle();
    EXPECT_EQ(engine.permissionGranted(), status == AudioPermissionStatus::authorized);
  }
  EXPECT_TRUE(engine.hasTap("org.example.Player"));
  manager.reset();
}

TEST(DiscoveryRulesTest, DotRuleIgnoresEmptyComponentsAndNeedsABundle) {
  RunningAppIndex index({{10, "com.example.tool", true, "Tool", std::nullopt},
                         {11, "org.example", true, "Example", std::nullopt},
                         {12, "net.example.cli", false, "Cli", std::nullopt},
                         {13, "com.google.Chrome.helper", true, "Helper", std::nullopt}});
  auto owner = [&](std::string id) {
    const auto* app = findAppForHelper(id, index);
    return app ? *app->bundleIdentifier : std::string("none");
  };
  EXPECT_EQ(owner("com.example.tool.worker"), "com.example.tool");
  EXPECT_EQ(owner(".com..example.tool.worker."), "com.example.tool");
  EXPECT_EQ(owner("org.example.worker"), "org.example");
  EXPECT_EQ(owner("example.worker"), "none");
  EXPECT_EQ(owner("net.example.cli.worker"), "none");  // not an application bundle
  // A helper table match is final: its application is not running, so the dot rule is not tried.
  EXPECT_EQ(owner("com.google.Chrome.helper.renderer"), "none");
  EXPECT_EQ(findAppForHelper(std::nullopt, index), nullptr);
}

TEST(DiscoveryRulesTest, LinuxShellsFileManagersAndTerminalsAreNeverListedTheirNeighboursAre) {
  for (auto id : {"org.gnome.Nautilus", "org.kde.dolphin", "org.gnome.Terminal", "org.kde.konsole",
                  "kitty", "com.corvana.Mixelot"})
    EXPECT_TRUE(isNonAudioApp(id)) << id;
  for (auto id :
       {"org.gnome.Shell", "org.gnome.Shell.Extensions", "org.kde.plasmashell", "pipewire-pulse"})
    EXPECT_TRUE(isSystemProcess(id)) << id;
  // Exact ids for apps: a player whose id merely starts like a terminal's stays.
  for (auto id : {"org.gnome.TerminalPlayer", "kitty-radio", "org.gnome.Rhythmbox3", "mpv"})
    EXPECT_FALSE(isNonAudioApp(id) || isSystemProcess(id)) << id;
}

}  // namespace
}  // namespace mixelot::testing
