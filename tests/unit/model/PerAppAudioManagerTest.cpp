// The app model (PerAppAudioManager) on the simulated audio layer: which processes make up which
// apps, and each app's volume, mute and routing, and what of them is saved and read back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/AudioRecordingPermission.h"
#include "engine/PlaythroughEngine.h"
#include "engine/hal/sim/SimAudioSystem.h"
#include "model/DiscoveryRules.h"
#include "model/PerAppAudioManager.h"
#include "platform/ManualMainQueue.h"
#include "platform/PreferencesStore.h"
#include "platform/SystemLog.h"
#include "support/FakePlatform.h"
#include "support/TempFolder.h"

namespace mixelot::testing {
namespace {

using hal::sim::SimAudioSystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

using testsupport::FakePermissionService;
using testsupport::FakeProcessInfo;
using testsupport::FakeWorkspace;

// A machine with two output devices (A the default), an engine with the capture permission, a
// fresh preferences folder, and the manager made on demand so each test can prepare the store and
// the running processes first. Time is virtual.
class ModelTest : public ::testing::Test {
 protected:
  ModelTest() {
    deviceA = sim.addDevice({.uid = "A", .name = "Speakers"});
    deviceB = sim.addDevice({.uid = "B", .name = "Headphones"});
    sim.setDefaultOutputDevice(deviceA);
    engine.setPermissionGranted(true);
    queue.runUntilIdle();
  }

  void makeManager(bool withEngine = true, AudioRecordingPermission* permission = nullptr) {
    manager = std::make_unique<PerAppAudioManager>(sim, queue, prefs, workspace, processInfo,
                                                   withEngine ? &engine : nullptr, permission);
  }

  // A running application bundle (one with a desktop entry).
  void runApp(pid_t pid, const std::string& bundleID, const std::string& name,
              bool isBundle = true) {
    workspace.applications.push_back({pid, bundleID, isBundle, name, "icon-" + name});
  }
  // A process object producing output; the list change schedules a pass.
  hal::ObjectID play(pid_t pid, const std::string& bundleID) {
    return sim.addProcess(pid, bundleID);
  }
  // Both: an application playing from one process.
  hal::ObjectID playApp(pid_t pid, const std::string& bundleID, const std::string& name) {
    runApp(pid, bundleID, name);
    return play(pid, bundleID);
  }
  void settle() { queue.runUntilIdle(); }
  // The default output device changes, and the engine and the manager hear of it in turn.
  void switchDefaultTo(hal::ObjectID device) {
    sim.setDefaultOutputDevice(device);
    engine.refreshOutputDevice();
    manager->outputDeviceChanged();
    manager->refreshApps();
  }

  std::vector<std::string> ids() const {
    std::vector<std::string> out;
    for (const auto& app : manager->audioApps().get()) out.push_back(app.id);
    return out;
  }
  const AudioApp* app(const std::string& id) const {
    for (const auto& app : manager->audioApps().get())
      if (app.id == id) return &app;
    return nullptr;
  }
  std::vector<std::string> taps(const std::string& id) const {
    auto uids = engine.activeDeviceUIDs(id);
    std::sort(uids.begin(), uids.end());
    return uids;
  }
  std::shared_ptr<AppTapState> tap(const std::string& id, const std::string& uid) const {
    return engine.chain(id, uid);
  }
  float target(const std::string& id, const std::string& uid) const {
    auto state = tap(id, uid);
    return state ? state->targetVolume.load() : -1.0f;
  }
  bool tapMuted(const std::string& id, const std::string& uid) const {
    auto state = tap(id, uid);
    return state && state->isMuted.load();
  }

  ManualMainQueue queue;
  SimAudioSystem sim{queue};
  CapturingLog log;
  testsupport::TempFolder folder;
  PreferencesStore prefs{folder.path(), queue};
  FakeWorkspace workspace;
  FakeProcessInfo processInfo;
  PlaythroughEngine engine{sim, queue};
  std::unique_ptr<PerAppAudioManager> manager;
  hal::ObjectID deviceA = 0, deviceB = 0;
};

TEST_F(ModelTest, ProcessesFoldIntoTheirApplication) {
  prefs.set("defaultVolume", 0.5f);  // turned down: chained
  auto first = playApp(100, "org.example.Player", "Player");
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
  auto radio = playApp(400, "org.example.Radio", "radio");
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
  // Asked one process at a time (the audio backend, for a new stream), the same owners.
  EXPECT_EQ(owningApplicationID(100, workspace, processInfo), "org.example.Player");
  EXPECT_EQ(owningApplicationID(102, workspace, processInfo), "org.example.Player");
  EXPECT_EQ(owningApplicationID(55, workspace, processInfo), "org.example.Near");
  EXPECT_EQ(owningApplicationID(46, workspace, processInfo), std::nullopt);
}

TEST_F(ModelTest, FiltersKeepOutOurselvesHiddenNonAudioAndSystemProcesses) {
  playApp(processInfo.ownPid, "org.example.Self", "Self");
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

TEST_F(ModelTest, ProgramsWithoutAnEntryAreAppsOfTheirOwnUnlessTheyBelongToOne) {
  auto named = [&](pid_t pid, const std::string& bundleID, const std::string& name) {
    auto object = play(pid, bundleID);
    sim.setProperty(object, {hal::selector::kProcessName}, name);
    return object;
  };
  // A game run by Wine from a terminal, with no entry and no application among its ancestors.
  auto game = named(10, "wine64-preloader", "MyGame.exe");
  // Started by a launcher: its own row; the launcher's helper that names itself after it is the
  // launcher's. A browser's helper stays with the browser whatever it calls itself.
  runApp(20, "steam", "Steam");
  workspace.applications.back().hostsOtherPrograms = true;
  processInfo.chain({23, 22, 21, 20});
  named(23, "none", "Space Game");
  auto steamHelper = named(21, "steamwebhelper", "steam");
  runApp(30, "org.example.Browser", "Browser");
  processInfo.chain({31, 30});
  auto renderer = named(31, "org.example.Browser", "Browser Audio Service");
  // A program whose name is an installed application's is that application.
  workspace.installed["org.example.Notes"] = "Notes";
  named(40, "notes-bin", "Notes");
  // The desktop's own sounds and the sound server's streams stay out, as does a program with no
  // name at all.
  named(50, "org.freedesktop.libcanberra.gtk-play", "canberra-gtk-play");
  named(51, "pipewire", "pipewire");
  play(52, "unnamed");
  prefs.set("savedVolumes", PreferenceDictionary{{"program:MyGame.exe", 0.4f}});
  makeManager();

  EXPECT_THAT(ids(), ElementsAre("org.example.Browser", "program:MyGame.exe", "org.example.Notes",
                                 "program:Space Game", "steam"));
  const AudioApp& wine = *app("program:MyGame.exe");
  EXPECT_EQ(wine.name, "MyGame.exe");
  EXPECT_EQ(wine.icon, "application-x-executable");
  EXPECT_THAT(wine.processObjectIDs, ElementsAre(game));
  EXPECT_FLOAT_EQ(wine.currentVolume, 0.4f);
  EXPECT_THAT(taps("program:MyGame.exe"), ElementsAre("A"));
  EXPECT_THAT(app("steam")->processObjectIDs, ElementsAre(steamHelper));
  EXPECT_THAT(app("org.example.Browser")->processObjectIDs, ElementsAre(renderer));
}

TEST_F(ModelTest, ChainsFollowTheProcessesAnAppStartsAndEnds) {
  auto first = playApp(100, "org.example.Browser", "Browser");
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
  prefs.set("defaultVolume", 0.5f);  // turned down: chained
  const std::string failure = "[Mixelot] Failed to create tap for org.example.Player";
  sim.addFault({.operation = SimAudioSystem::Operation::kCreateProcessTap});
  auto process = playApp(100, "org.example.Player", "Player");
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
  playApp(100, "org.example.Zoom", "Zoom");
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
    playApp(pid, id, id);
  }
  settle();
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(ids().size(), 3u);
}

TEST_F(ModelTest, MonitoringStopsAndPassesNeverOverlap) {
  prefs.set("defaultVolume", 0.5f);  // turned down: chained
  playApp(100, "org.example.Player", "Player");
  makeManager();
  EXPECT_EQ(sim.listenerCount(), 1u);
  EXPECT_TRUE(manager->isMonitoring());

  // A chain that takes its time to come alive runs the main queue while it waits: a pass asked
  // for meanwhile waits for the running one, and a volume set meanwhile is not overwritten by
  // the pass's copy of the list.
  sim.setAggregatesAlive(false);
  playApp(200, "org.example.Radio", "Radio");
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
  playApp(100, player, "Player");
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
  prefs.set("defaultVolume", 0.5f);  // turned down: chained
  playApp(100, "org.example.Player", "Player");
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

constexpr const char* kPlayer = "org.example.Player";
constexpr const char* kRadio = "org.example.Radio";

// Player and Radio playing, the manager made.
class PlayingTest : public ModelTest {
 protected:
  PlayingTest() {
    playApp(100, "org.example.Player", "Player");
    playApp(200, "org.example.Radio", "Radio");
    makeManager();
  }
  std::optional<float> storedVolume(const std::string& id) const {
    auto table = prefs.floatTable("savedVolumes");
    if (!table || !table->count(id)) return std::nullopt;
    return table->at(id);
  }
  std::optional<std::vector<std::string>> storedRouting() const {
    auto table = prefs.stringListTable("appDeviceRouting");
    if (!table || !table->count(kPlayer)) return std::nullopt;
    return table->at(kPlayer);
  }
};

TEST_F(PlayingTest, SetVolumeClampsUnmutesAndIsRemembered) {
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

TEST_F(PlayingTest, MuteKeepsTheVolumeToComeBackTo) {
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

// The focused window's process to its app, and the focused app's volume steps.
TEST_F(PlayingTest, AWindowsProcessFindsItsAppAndStepsMoveItsVolume) {
  // Radio plays also from a helper (250, Radio's by its name) of a process (240) that is no
  // application.
  processInfo.chain({250, 240});
  play(250, "org.example.Radio.helper");
  // A file manager (300) started the Player (100): its window is not the Player's.
  runApp(300, "org.gnome.Nautilus", "Files");
  processInfo.chain({100, 300});
  // Another process of the Radio application, not playing (its window).
  runApp(260, kRadio, "Radio");
  settle();
  EXPECT_EQ(manager->appOfProcess(100), kPlayer);  // plays itself
  EXPECT_EQ(manager->appOfProcess(240), kRadio);   // started the process that plays
  EXPECT_EQ(manager->appOfProcess(260), kRadio);   // is the app
  EXPECT_EQ(manager->appOfProcess(300), std::nullopt);
  EXPECT_EQ(manager->appOfProcess(999), std::nullopt);

  manager->setVolume(kPlayer, 0.43f);
  EXPECT_TRUE(manager->stepVolume(kPlayer, 0.05f));
  EXPECT_EQ(app(kPlayer)->currentVolume, 0.48f);
  manager->setVolume(kPlayer, 0.98f);
  manager->stepVolume(kPlayer, 0.05f);
  EXPECT_EQ(app(kPlayer)->currentVolume, 1.0f);
  manager->setVolume(kPlayer, 0.03f);
  manager->stepVolume(kPlayer, -0.05f);
  EXPECT_EQ(app(kPlayer)->currentVolume, 0.0f);
  EXPECT_FALSE(app(kPlayer)->isMuted);
  // Muted: down keeps it quiet; up brings it back where it was, without the step.
  manager->setVolume(kPlayer, 0.6f);
  manager->toggleMute(kPlayer);
  manager->stepVolume(kPlayer, -0.05f);
  EXPECT_TRUE(app(kPlayer)->isMuted);
  EXPECT_TRUE(tapMuted(kPlayer, "A"));
  manager->stepVolume(kPlayer, 0.05f);
  EXPECT_FALSE(app(kPlayer)->isMuted);
  EXPECT_FLOAT_EQ(app(kPlayer)->currentVolume, 0.6f);
  EXPECT_FALSE(tapMuted(kPlayer, "A"));
  EXPECT_FALSE(manager->stepVolume("org.example.NotListed", 0.05f));
}

TEST_F(PlayingTest, VolumesFollowTheDefaultDeviceAndBack) {
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

TEST_F(PlayingTest, NoDefaultDeviceForAWhileIsNoDeviceChange) {
  manager->setVolume(kPlayer, 0.4f);
  manager->toggleMute(kPlayer);
  manager->setVolume(kRadio, 0.7f);
  ASSERT_TRUE(manager->muteAll());
  // The sound server or its session manager restarts: no default device, then the same again.
  for (hal::ObjectID device : {hal::kUnknownObject, deviceA}) {
    switchDefaultTo(device);
    EXPECT_EQ(*manager->currentDeviceUID(), "A");
    EXPECT_TRUE(manager->allAppsMuted());
    EXPECT_EQ(app(kPlayer)->currentVolume, 0.0f);
  }
  EXPECT_TRUE(tapMuted(kPlayer, "A"));  // the chain built again
  EXPECT_FALSE(prefs.nestedFloatTable("deviceSpecificVolumes")->count("default"));
  manager->unmuteAll();
  EXPECT_FLOAT_EQ(target(kPlayer, "A"), 0.4f);
  EXPECT_FLOAT_EQ(target(kRadio, "A"), 0.7f);

  // Made while no device is known, the model keeps its volumes and mutes out of the device
  // tables until the first device appears, which brings its own.
  manager.reset();
  prefs.set("deviceSpecificVolumes",
            std::map<std::string, std::map<std::string, float>>{{"B", {{kRadio, 0.2f}}}});
  sim.setDefaultOutputDevice(hal::kUnknownObject);
  engine.refreshOutputDevice();
  makeManager();
  EXPECT_FLOAT_EQ(app(kPlayer)->currentVolume, 0.4f);  // the table last saved
  manager->toggleMute(kPlayer);
  manager->setVolume(kRadio, 0.5f);
  switchDefaultTo(deviceB);
  EXPECT_TRUE(app(kPlayer)->isMuted);
  EXPECT_FLOAT_EQ(app(kRadio)->currentVolume, 0.2f);
  EXPECT_FALSE(prefs.nestedFloatTable("deviceSpecificVolumes")->count("default"));
}

TEST_F(ModelTest, ChainsRebuiltOnANewDefaultDevicePlayWhatTheRowShows) {
  // B has a table of its own that does not know the player: the switch puts it at 1.0, not at
  // the default volume meant for new apps.
  prefs.set("defaultVolume", 0.5f);
  prefs.set("deviceSpecificVolumes",
            std::map<std::string, std::map<std::string, float>>{{"B", {{"org.example.X", 0.2f}}}});
  playApp(100, "org.example.Player", "Player");
  makeManager();
  ASSERT_FLOAT_EQ(target("org.example.Player", "A"), 0.5f);
  switchDefaultTo(deviceB);
  EXPECT_FLOAT_EQ(app("org.example.Player")->currentVolume, 1.0f);
  // Untouched there: it plays straight to B.
  EXPECT_THAT(taps("org.example.Player"), IsEmpty());
}

TEST_F(PlayingTest, MutedAppComingBackStartsMuted) {
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

TEST_F(PlayingTest, AnUntouchedAppHasAChainOnlyWhileItsStateOrTheMetersNeedOne) {
  EXPECT_TRUE(sim.liveTaps().empty());
  manager->setVolume(kPlayer, 0.5f);
  auto chain = tap(kPlayer, "A");
  ASSERT_TRUE(chain);
  // It takes over from the direct path at unity, until the app's sound reaches it.
  auto cycle = [&](float amplitude) {
    std::vector<float> in(512, amplitude), out(512);
    hal::AudioBuffer input{2, 2048, in.data()}, output{2, 2048, out.data()};
    sim.runIOCycle(chain->aggregateDeviceID, {&input, 1}, {&output, 1});
    return out;
  };
  EXPECT_EQ(cycle(0.0f).back(), 0.0f);
  EXPECT_EQ(chain->currentGain, 1.0f);
  EXPECT_NEAR(cycle(0.5f).front(), 0.5f, 1e-3f);
  for (int i = 0; i < 20; ++i) cycle(0.5f);
  EXPECT_NEAR(cycle(0.5f).back(), 0.25f, 1e-3f);

  // Back at full volume it keeps the chain while it plays, and leaves it once silent.
  manager->setVolume(kPlayer, 1.0f);
  queue.advance(Seconds(3.0));
  EXPECT_EQ(tap(kPlayer, "A"), chain);
  sim.setProperty(app(kPlayer)->processObjectIDs.front(),
                  {hal::selector::kProcessIsRunningOutput, hal::scope::kOutput}, uint32_t{0});
  queue.advance(Seconds(3.0));
  EXPECT_FALSE(engine.hasTap(kPlayer));
  EXPECT_TRUE(app(kPlayer));
  // Muted, or while the meters show, it has one again.
  manager->toggleMute(kRadio);
  EXPECT_TRUE(engine.hasTap(kRadio));
  manager->toggleMute(kRadio);
  manager->setDeviceVolume(kPlayer, "A", 0.5f);
  manager->setDeviceVolume(kPlayer, "A", 1.0f);
  manager->setLevelMetering(true);
  EXPECT_TRUE(engine.hasTap(kPlayer));
}

TEST_F(PlayingTest, TogglesCreateAndRemoveExactlyTheRightTaps) {
  // Turned down, so that both play through chains.
  for (const char* id : {kPlayer, kRadio}) manager->setVolume(id, 0.5f);
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
  EXPECT_EQ(sim.liveTaps().size(), 2u);  // with Radio's

  // An app not listed keeps its routing for later; no chain is built for it.
  manager->setRouting("org.example.Later", {"B", "B"});
  EXPECT_THAT(manager->savedRouting()->at("org.example.Later"), ElementsAre("B"));
  EXPECT_THAT(taps("org.example.Later"), IsEmpty());

  // A new tap of a muted app starts muted.
  manager->toggleMute(kPlayer);
  manager->toggleDeviceRouting(kPlayer, "B");
  EXPECT_TRUE(tapMuted(kPlayer, "B"));
}

TEST_F(PlayingTest, PerDeviceVolumesAndTheMasterVolume) {
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

TEST_F(PlayingTest, AbsentDeviceFallsBackToTheDefaultAtTheAppsVolume) {
  manager->setVolume(kPlayer, 0.2f);
  manager->setRouting(kPlayer, {"Gone"});
  EXPECT_THAT(storedRouting().value(), ElementsAre("Gone"));
  // The engine builds it on the default device, under that device's key; it must not jump to
  // full volume.
  EXPECT_THAT(taps(kPlayer), ElementsAre("A"));
  EXPECT_FLOAT_EQ(target(kPlayer, "A"), 0.2f);
}

TEST_F(PlayingTest, ChangeWhileAChainComesAliveEndsOnTheLatestRouting) {
  // Building the chain on B waits for the device and runs the main queue; the user changes
  // their mind meanwhile.
  for (const char* id : {kPlayer, kRadio}) manager->setVolume(id, 0.5f);
  sim.setAggregatesAlive(false);
  queue.post([&] { manager->setRouting(kPlayer, {}); });
  manager->setRouting(kPlayer, {"B"});
  settle();
  EXPECT_THAT(app(kPlayer)->selectedOutputDeviceUIDs, IsEmpty());
  EXPECT_THAT(taps(kPlayer), ElementsAre("A"));
  EXPECT_EQ(sim.liveTaps().size(), 2u);  // with Radio's
}

TEST_F(PlayingTest, DefaultDeviceUnreadableRemovesEveryChain) {
  manager->setRouting(kPlayer, {"B"});
  sim.addFault({.operation = SimAudioSystem::Operation::kGetPropertyData,
                .object = hal::kSystemObject,
                .selector = hal::selector::kDefaultOutputDevice});
  manager->setRouting(kPlayer, {});
  EXPECT_THAT(taps(kPlayer), IsEmpty());
}

class SavedStateTest : public ModelTest {
 protected:
  SavedStateTest() { playApp(100, kPlayer, "Player"); }
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
  // Without an engine the device is not asked for: the table last saved is used.
  restart();
  manager.reset();
  makeManager(/*withEngine=*/false);
  EXPECT_EQ(*manager->currentDeviceUID(), "default");
  EXPECT_FLOAT_EQ(app(kPlayer)->currentVolume, 0.9f);
}

}  // namespace
}  // namespace mixelot::testing
