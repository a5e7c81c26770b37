#include "app/AppDelegate.h"

#include <QtTest>

#include "AppWorld.h"
#include "engine/PlaythroughEngine.h"
#include "model/PerAppAudioManager.h"
#include "platform/Preferences.h"
#include "ui/MixerViewModel.h"
#include "ui/SettingsViewModel.h"

using namespace mixelot;

namespace {
constexpr const char* kPlayer = "org.example.Player";
}

class AppDelegateTest : public QObject {
  Q_OBJECT

 private slots:
  void aFirstLaunchWithoutPermissionAsksAndAGrantBuildsTheChains() {
    testsupport::AppWorld world;
    world.loginItem.current = LoginItem::Status::kNotRegistered;
    world.permission.status = AudioPermissionStatus::denied;
    world.play(100, kPlayer, "Player");
    bool onboarding = false;
    auto delegate = world.launch({.showOnboarding = [&] { onboarding = true; }});
    QVERIFY(onboarding);
    // A fresh store wants launch at login, so the item got registered.
    QCOMPARE(world.loginItem.registers, 1);
    // Without permission the app is listed but gets no chain; the permission was asked for.
    QCOMPARE(delegate->perAppAudioManager()->audioApps().get().size(), size_t{1});
    QVERIFY(!delegate->playthroughEngine()->hasTap(kPlayer));
    QCOMPARE(world.permission.pendingRequests.size(), size_t{1});

    // The grant arrives: chains are built for the apps already playing.
    world.permission.status = AudioPermissionStatus::authorized;
    world.permission.takeRequest()(true);
    world.queue.runUntilIdle();
    QVERIFY(delegate->playthroughEngine()->hasTap(kPlayer));
  }

  void showingThePanelReadsThePermissionAgain() {
    // Granted while the program ran (in the desktop's settings): the next time the panel shows,
    // the apps playing get their chains.
    testsupport::AppWorld world;
    world.permission.status = AudioPermissionStatus::denied;
    world.permission.canRequest = false;
    bool shown = false;
    world.play(100, kPlayer, "Player");
    auto delegate = world.launch({.togglePanel = [&] { return shown = !shown; }});
    world.permission.status = AudioPermissionStatus::authorized;
    world.queue.runUntilIdle();
    QVERIFY(!delegate->playthroughEngine()->hasTap(kPlayer));
    delegate->togglePopover();
    world.queue.runUntilIdle();
    QVERIFY(delegate->playthroughEngine()->hasTap(kPlayer));
  }

  // A second launch: no introduction, a cleared shortcut seeded again, and a login item change
  // that fails keeps the state in force.
  void aSecondLaunchSkipsOnboardingSeedsAClearedShortcutAndKeepsTheLoginStateInForce() {
    testsupport::AppWorld world;
    world.preferences.set("onboardingShown", true);
    world.preferences.set("launchAtLogin", false);
    world.preferences.set(prefs::kHotkeyKeyCode, prefs::kNoHotkey);
    world.loginItem.failChanges = true;
    bool onboarding = false;
    auto delegate = world.launch({.showOnboarding = [&] { onboarding = true; }});
    QVERIFY(!onboarding);
    QCOMPARE(world.preferences.integerValue(prefs::kHotkeyKeyCode), 0);
    QCOMPARE(world.loginItem.unregisters, 1);
    QCOMPARE(world.preferences.boolValue("launchAtLogin"), true);
    QVERIFY(delegate->settingsViewModel()->launchAtLogin());
  }

  // The teardown order itself is the engine's (its unit tests); here the program's wiring.
  void aDefaultDeviceChangeMovesEveryChainAndQuittingLeavesNone() {
    testsupport::AppWorld world;
    world.play(100, kPlayer, "Player");
    auto delegate = world.launch();
    world.sim.setDefaultOutputDevice(world.headphones);
    world.queue.runUntilIdle();
    QCOMPARE(delegate->playthroughEngine()->activeDeviceUIDs(kPlayer),
             std::vector<std::string>{"headphones"});
    QCOMPARE(delegate->perAppAudioManager()->currentDeviceUID().get(), std::string("headphones"));
    QCOMPARE(delegate->mixerViewModel()->outputDeviceName(), QStringLiteral("Headphones"));

    delegate->handleWillTerminate();
    QVERIFY(!delegate->perAppAudioManager()->isMonitoring());
    QVERIFY(world.sim.liveTaps().empty() && world.sim.liveAggregates().empty());
    QCOMPARE(world.sim.runningIOProcCount(), size_t{0});
    // A late default-device change finds nothing to rebuild.
    world.sim.setDefaultOutputDevice(world.speakers);
    world.queue.runUntilIdle();
    QVERIFY(world.sim.liveTaps().empty());
  }

  void theMuteAllActionMutesEverythingThenRestores() {
    testsupport::AppWorld world;
    world.play(100, kPlayer, "Player");
    world.play(200, "org.example.Radio", "Radio");
    std::vector<std::string> overlays;
    auto delegate =
        world.launch({.showOverlay = [&](const std::string& text) { overlays.push_back(text); }});
    auto& mixer = *delegate->mixerViewModel();

    delegate->toggleMuteAll();
    QVERIFY(mixer.allMuted() && mixer.systemMuted());
    QCOMPARE(world.sim.property(world.speakers, {hal::selector::kMute, hal::scope::kOutput}),
             std::optional<hal::PropertyValue>(uint32_t{1}));

    delegate->toggleMuteAll();
    QVERIFY(!mixer.allMuted() && !mixer.systemMuted());
    for (const auto& app : mixer.apps()) QVERIFY(!app.isMuted && app.currentVolume > 0.0f);
    QCOMPARE(overlays, (std::vector<std::string>{"All Muted", "Restored"}));
  }
};

QTEST_GUILESS_MAIN(AppDelegateTest)
#include "AppDelegateTest.moc"
