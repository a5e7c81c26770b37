#include "app/AppDelegate.h"

#include <QtTest>

#include "AppWorld.h"
#include "engine/PlaythroughEngine.h"
#include "model/PerAppAudioManager.h"
#include "ui/MixerViewModel.h"
#include "ui/SettingsViewModel.h"

using namespace mixelot;
using Event = hal::sim::SimAudioSystem::Event;

class AppDelegateTest : public QObject {
  Q_OBJECT

  static std::vector<std::string> operations(const std::vector<Event>& events) {
    std::vector<std::string> names;
    for (const auto& event : events) names.push_back(event.operation);
    return names;
  }

 private slots:
  void launchRunsItsStepsInOrder() {
    testsupport::AppWorld world;
    world.loginItem.current = LoginItem::Status::kNotRegistered;
    world.permission.status = AudioPermissionStatus::denied;
    std::vector<std::string> steps;
    auto step = [&](std::string name) { return [&steps, name] { steps.push_back(name); }; };
    InterfaceHooks hooks{.setupStatusItem = step("statusItem"),
                         .setupPopover = step("popover"),
                         .setupHotkeys = step("hotkeys"),
                         .observeHotkeyChanges = step("observeHotkeys"),
                         .showOnboarding = step("onboarding"),
                         .startInstallerCleanup = step("cleanup")};
    world.play(100, "org.example.Player", "Player");
    AppDelegate delegate(world.services(), hooks);
    delegate.installSignalHandlers = false;
    delegate.applicationDidFinishLaunching();

    QCOMPARE(steps, (std::vector<std::string>{"statusItem", "popover", "hotkeys", "observeHotkeys",
                                              "onboarding", "cleanup"}));
    // A fresh store wants launch at login, so the item got registered.
    QCOMPARE(world.loginItem.registers, 1);
    // Without permission the app is listed but gets no chain; the permission was asked for.
    QCOMPARE(delegate.perAppAudioManager()->audioApps().get().size(), size_t{1});
    QVERIFY(!delegate.playthroughEngine()->hasTap("org.example.Player"));
    QVERIFY(!delegate.playthroughEngine()->permissionGranted());
    QCOMPARE(world.permission.pendingRequests.size() + size_t(world.permission.canRequest ? 0 : 1),
             size_t{1});

    // The grant arrives: chains are built for the apps already playing.
    world.permission.status = AudioPermissionStatus::authorized;
    world.permission.takeRequest()(true);
    world.queue.runUntilIdle();
    QVERIFY(delegate.playthroughEngine()->hasTap("org.example.Player"));
  }

  void showingThePanelReadsThePermissionAgain() {
    // Granted while the program ran (in the desktop's settings): the next time the panel shows,
    // the apps playing get their chains.
    testsupport::AppWorld world;
    world.permission.status = AudioPermissionStatus::denied;
    world.permission.canRequest = false;
    bool shown = false;
    AppDelegate delegate(world.services(), {.togglePanel = [&] { return shown = !shown; }});
    delegate.installSignalHandlers = false;
    world.play(100, "org.example.Player", "Player");
    delegate.applicationDidFinishLaunching();
    world.permission.status = AudioPermissionStatus::authorized;
    world.queue.runUntilIdle();
    QVERIFY(!delegate.playthroughEngine()->hasTap("org.example.Player"));
    delegate.togglePopover();
    world.queue.runUntilIdle();
    QVERIFY(delegate.playthroughEngine()->hasTap("org.example.Player"));
  }

  void aSecondLaunchSkipsOnboardingAndAFailedLoginChangeKeepsTheStateInForce() {
    testsupport::AppWorld world;
    world.preferences.set("onboardingShown", true);
    world.preferences.set("launchAtLogin", false);
    world.loginItem.failChanges = true;
    bool onboarding = false;
    AppDelegate delegate(world.services(), {.showOnboarding = [&] { onboarding = true; }});
    delegate.installSignalHandlers = false;
    delegate.applicationDidFinishLaunching();
    QVERIFY(!onboarding);
    QCOMPARE(world.loginItem.unregisters, 1);
    QCOMPARE(world.preferences.boolValue("launchAtLogin"), true);
    QVERIFY(delegate.settingsViewModel()->launchAtLogin());
  }

  void aDefaultDeviceChangeRebuildsEveryChainOnTheNewDevice() {
    testsupport::AppWorld world;
    world.play(100, "org.example.Player", "Player");
    AppDelegate delegate(world.services());
    delegate.installSignalHandlers = false;
    delegate.applicationDidFinishLaunching();
    auto* engine = delegate.playthroughEngine();
    QCOMPARE(engine->activeDeviceUIDs("org.example.Player"), std::vector<std::string>{"speakers"});
    int refreshes = 0;
    QObject::connect(delegate.mixerViewModel(), &MixerViewModel::stateChanged,
                     [&] { ++refreshes; });

    world.sim.clearEvents();
    world.sim.setDefaultOutputDevice(world.headphones);
    world.queue.runUntilIdle();
    auto ops = operations(world.sim.events());
    // Teardown of the old chain first (stop, I/O proc, aggregate, tap), then the new chain.
    auto teardownEnd = std::find(ops.begin(), ops.end(), "destroyProcessTap");
    auto rebuild = std::find(ops.begin(), ops.end(), "createProcessTap");
    QVERIFY(teardownEnd != ops.end() && rebuild != ops.end() && teardownEnd < rebuild);
    QCOMPARE(ops.front(), std::string("deviceStop"));
    QCOMPARE(engine->activeDeviceUIDs("org.example.Player"),
             std::vector<std::string>{"headphones"});
    QCOMPARE(delegate.perAppAudioManager()->currentDeviceUID().get(), std::string("headphones"));
    QCOMPARE(delegate.mixerViewModel()->outputDeviceName(), QStringLiteral("Headphones"));
    QVERIFY(refreshes >= 1);
  }

  void quittingStopsMonitoringThenDestroysEveryChain() {
    testsupport::AppWorld world;
    world.play(100, "org.example.Player", "Player");
    AppDelegate delegate(world.services());
    delegate.installSignalHandlers = false;
    delegate.applicationDidFinishLaunching();
    QVERIFY(delegate.perAppAudioManager()->isMonitoring());
    delegate.handleWillTerminate();
    QVERIFY(!delegate.perAppAudioManager()->isMonitoring());
    QVERIFY(world.sim.liveTaps().empty());
    QVERIFY(world.sim.liveAggregates().empty());
    QCOMPARE(world.sim.runningIOProcCount(), size_t{0});
    // A late default-device change finds nothing to rebuild.
    world.sim.setDefaultOutputDevice(world.headphones);
    world.queue.runUntilIdle();
    QVERIFY(world.sim.liveTaps().empty());
  }

  void theMuteAllActionMutesEverythingThenRestores() {
    testsupport::AppWorld world;
    world.play(100, "org.example.Player", "Player");
    world.play(200, "org.example.Radio", "Radio");
    std::vector<std::string> overlays;
    AppDelegate delegate(world.services(), {.showOverlay = [&](const std::string& text) {
                           overlays.push_back(text);
                         }});
    delegate.installSignalHandlers = false;
    delegate.applicationDidFinishLaunching();
    auto& mixer = *delegate.mixerViewModel();

    delegate.toggleMuteAll();
    QVERIFY(mixer.allMuted());
    QVERIFY(mixer.systemMuted());
    QCOMPARE(world.sim.property(world.speakers, {hal::selector::kMute, hal::scope::kOutput}),
             std::optional<hal::PropertyValue>(uint32_t{1}));

    delegate.toggleMuteAll();
    QVERIFY(!mixer.allMuted());
    QVERIFY(!mixer.systemMuted());
    for (const auto& app : mixer.apps()) QVERIFY(!app.isMuted && app.currentVolume > 0.0f);
    QCOMPARE(overlays, (std::vector<std::string>{"All Muted", "Restored"}));
  }
};

QTEST_GUILESS_MAIN(AppDelegateTest)
#include "AppDelegateTest.moc"
