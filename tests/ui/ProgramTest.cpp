// The program on the test world: the app delegate's wiring, the panel's view model and its list
// model, where the panel opens, and the Qt main queue the program runs on.
#include <QSignalSpy>
#include <QtTest>
#include <cmath>
#include <thread>

#include "AppWorld.h"
#include "app/PanelPlacement.h"
#include "engine/AppTapState.h"
#include "engine/PlaythroughEngine.h"
#include "model/PerAppAudioManager.h"
#include "platform/Preferences.h"
#include "ui/AppListModel.h"
#include "ui/MixerViewModel.h"
#include "ui/QtMainQueue.h"
#include "ui/SettingsViewModel.h"

using namespace mixelot;

namespace {
constexpr const char* kPlayer = "org.example.Player";

AudioApp app(const std::string& id, float volume = 1.0f, bool muted = false) {
  AudioApp a;
  a.id = a.name = id;
  a.currentVolume = volume;
  a.isMuted = muted;
  return a;
}

QStringList ids(const AppListModel& model) {
  QStringList list;
  for (int i = 0; i < model.rowCount(); ++i)
    list << model.data(model.index(i), AppListModel::AppIdRole).toString();
  return list;
}

}  // namespace

class ProgramTest : public QObject {
  Q_OBJECT

  struct Launched {
    testsupport::AppWorld world;
    std::unique_ptr<AppDelegate> delegate;
    MixerViewModel* mixer = nullptr;
    explicit Launched(bool withApps = true) {
      if (withApps) world.play(100, kPlayer, "Player");
      delegate = world.launch();
      mixer = delegate->mixerViewModel();
    }
  };

 private slots:
  void cleanup() { softwareVolume.store(1.0f); }

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

    world.permission.status = AudioPermissionStatus::authorized;
    world.permission.takeRequest()(true);
    world.queue.runUntilIdle();
    QVERIFY(delegate->playthroughEngine()->hasTap(kPlayer));
  }

  // Granted in the desktop's settings while the program ran: the panel's next showing builds the
  // chains.
  void showingThePanelReadsThePermissionAgain() {
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
  void muteAllThenADefaultDeviceChangeMovesEveryChainAndQuittingLeavesNone() {
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

    world.sim.setDefaultOutputDevice(world.headphones);
    world.queue.runUntilIdle();
    QCOMPARE(delegate->playthroughEngine()->activeDeviceUIDs(kPlayer),
             std::vector<std::string>{"headphones"});
    QCOMPARE(mixer.outputDeviceName(), QStringLiteral("Headphones"));
    delegate->handleWillTerminate();
    QVERIFY(!delegate->perAppAudioManager()->isMonitoring());
    QVERIFY(world.sim.liveTaps().empty() && world.sim.liveAggregates().empty());
    QCOMPARE(world.sim.runningIOProcCount(), size_t{0});
    // A late default-device change finds nothing to rebuild.
    world.sim.setDefaultOutputDevice(world.speakers);
    world.queue.runUntilIdle();
    QVERIFY(world.sim.liveTaps().empty());
  }

  void aRefreshThatFindsNothingNewNotifiesNobodyAndAHiddenAppIsStoredOnce() {
    Launched app;
    QSignalSpy apps(app.mixer, &MixerViewModel::appsChanged);
    QSignalSpy state(app.mixer, &MixerViewModel::stateChanged);
    for (int i = 0; i < 3; ++i) app.mixer->refresh();
    QCOMPARE(apps.count(), 1);
    QCOMPARE(state.count(), 1);
    app.mixer->hideApp(kPlayer);
    app.mixer->hideApp(kPlayer);
    QCOMPARE(app.world.preferences.stringArray("hiddenApps"),
             (std::optional<std::vector<std::string>>{{kPlayer}}));
  }

  void theRefreshTimerRunsOnlyWhileStartedAndNeverTwice() {
    Launched app;
    int muteCallbacks = 0;
    app.mixer->onMuteStateChanged = [&] { ++muteCallbacks; };
    size_t timersBefore = app.world.queue.pendingTimers();
    app.mixer->startRefreshing();
    app.mixer->startRefreshing();
    QCOMPARE(app.world.queue.pendingTimers(), timersBefore + 1);

    // A change made behind the model's back shows up at the next tick.
    app.mixer->perAppAudioManager().toggleMute(kPlayer);
    QVERIFY(!app.mixer->apps().front().isMuted);
    app.world.queue.advance(Seconds(2.0));
    QVERIFY(app.mixer->apps().front().isMuted);
    QCOMPARE(muteCallbacks, 1);  // all apps muted now

    app.mixer->stopRefreshTimer();
    app.mixer->perAppAudioManager().toggleMute(kPlayer);
    app.world.queue.advance(Seconds(4.0));
    QVERIFY(app.mixer->apps().front().isMuted);
  }

  void theSystemVolumeUsesTheDeviceOrTheSoftwareGainAndIsClamped() {
    Launched app;
    app.mixer->refresh();
    QCOMPARE(app.mixer->systemVolume(), 0.8f);
    app.mixer->setSystemVolume(0.3f);
    QCOMPARE(app.world.sim.property(app.world.speakers,
                                    {hal::selector::kVolumeScalar, hal::scope::kOutput, 0}),
             std::optional<hal::PropertyValue>(0.3f));
    QCOMPARE(softwareVolume.load(), 1.0f);
    app.mixer->setSystemVolume(1.5f);
    QCOMPARE(app.mixer->systemVolume(), 1.0f);

    // Headphones have neither volume nor mute: the software gain stands in.
    app.world.sim.setDefaultOutputDevice(app.world.headphones);
    app.world.queue.runUntilIdle();
    QVERIFY(!app.mixer->deviceSupportsVolume());
    app.mixer->setSystemVolume(1.7f);
    QCOMPARE(softwareVolume.load(), 1.0f);
    app.mixer->setSystemVolume(std::nanf(""));
    QCOMPARE(app.mixer->systemVolume(), 0.0f);
    app.mixer->setSystemVolume(0.0005f);
    app.mixer->refresh();
    QVERIFY(app.mixer->systemMuted());
    // A mute toggle with no mute control flips the flag until the next refresh derives it.
    app.mixer->setSystemVolume(0.5f);
    app.mixer->refresh();
    app.mixer->toggleSystemMute();
    QVERIFY(app.mixer->systemMuted());
    app.mixer->refresh();
    QVERIFY(!app.mixer->systemMuted());
  }

  void muteAllAnswersWhetherAnythingChanged() {
    Launched app(/*withApps=*/false);
    const hal::PropertyAddress mute{hal::selector::kMute, hal::scope::kOutput};
    app.world.sim.setProperty(app.world.speakers, mute, uint32_t{1});
    app.world.sim.clearEvents();
    QVERIFY(!app.mixer->muteAll());
    QVERIFY(app.world.sim.events().empty());
    app.world.sim.setProperty(app.world.speakers, mute, uint32_t{0});
    QVERIFY(app.mixer->muteAll());
  }

  void levelsAreSampledTwentyTimesASecondOnlyWhileOn() {
    Launched app;
    const QString player = QString::fromLatin1(kPlayer);
    auto chain = app.delegate->playthroughEngine()->chain(kPlayer, "speakers");
    QVERIFY(chain);
    auto play = [&](float amplitude) {
      std::vector<float> in(512), out(512);
      for (size_t i = 0; i < in.size(); ++i) in[i] = i % 2 ? amplitude : -amplitude;
      hal::AudioBuffer input{2, 2048, in.data()}, output{2, 2048, out.data()};
      app.world.sim.runIOCycle(chain->aggregateDeviceID, {&input, 1}, {&output, 1});
    };
    QSignalSpy sampled(app.mixer, &MixerViewModel::levelsSampled);
    app.mixer->setLevelSampling(true);
    app.mixer->setLevelSampling(true);
    play(0.5f);
    app.world.queue.advance(Seconds(0.05));
    QCOMPARE(sampled.count(), 1);
    QCOMPARE(app.mixer->appLevel(player), 0.5f);
    QCOMPARE(app.mixer->deviceLevel(player, QStringLiteral("speakers")), 0.5f);
    app.world.queue.advance(Seconds(0.05));  // nothing played meanwhile
    QCOMPARE(sampled.count(), 2);
    QCOMPARE(app.mixer->appLevel(player), 0.0f);

    play(0.5f);
    app.mixer->setLevelSampling(false);
    QCOMPARE(app.mixer->appLevel(player), 0.0f);
    app.world.queue.advance(Seconds(1.0));
    QCOMPARE(sampled.count(), 3);  // the one that announced the levels' end
    QVERIFY(!chain->isMetering.load());
  }

  void eachNewListBecomesRowChangesNotAReset() {
    AppListModel model;
    model.sync({app("a"), app("b"), app("c")}, {});
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
    QSignalSpy moved(&model, &QAbstractItemModel::rowsMoved);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);

    model.sync({app("a"), app("b"), app("c")}, {});
    QCOMPARE(changed.count() + inserted.count() + removed.count() + moved.count(), 0);

    // c moves to the front, b goes, d comes, a's volume changes.
    model.sync({app("c"), app("a", 0.5f), app("d")}, {});
    QCOMPARE(ids(model), (QStringList{"c", "a", "d"}));
    QCOMPARE(resets.count(), 0);
    QCOMPARE(removed.count(), 1);
    QCOMPARE(moved.count(), 1);
    QCOMPARE(inserted.count(), 1);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.front().at(0).toModelIndex().row(), 1);
    QCOMPARE(changed.front().at(2).value<QList<int>>(),
             QList<int>{AppListModel::CurrentVolumeRole});
  }

  // A row keeps its slider while muted, so it must learn of a mute before the volume drops to 0.
  void theMuteStateChangesBeforeTheVolume() {
    AppListModel model;
    model.sync({app("a", 0.6f)}, {});
    QList<QList<int>> order;
    connect(
        &model, &QAbstractItemModel::dataChanged,
        [&](const QModelIndex&, const QModelIndex&, const QList<int>& roles) { order << roles; });
    model.sync({app("a", 0.0f, true)}, {});
    QCOMPARE(order.size(), 2);
    QCOMPARE(order[0], QList<int>{AppListModel::IsMutedRole});
    QCOMPARE(order[1], QList<int>{AppListModel::CurrentVolumeRole});
  }

  void panelOpensAtTheIconInsideTheAvailableArea() {
    const struct {
      const char* name;
      QRect anchor;
      QSize panel;
      QRect available;
      QPoint expected;
    } cases[] = {
        // Below the icon, pushed left to stay on screen.
        {"top bar, right edge", {1250, 4, 22, 22}, {320, 300}, {0, 30, 1280, 770}, {960, 30}},
        // Above the icon, resting on the bar (the gap would reach into it).
        {"bottom bar", {600, 770, 22, 22}, {320, 300}, {0, 0, 1280, 760}, {450, 460}},
        {"left dock", {10, 500, 22, 22}, {320, 300}, {48, 0, 1232, 800}, {48, 196}},
        // The pointer as the anchor, on a second screen right of the first.
        {"second screen", {3195, 2, 1, 1}, {320, 300}, {1920, 0, 1280, 800}, {2880, 7}},
        // Taller than the area: starts at its top rather than above it.
        {"too tall", {600, 770, 22, 22}, {320, 900}, {0, 0, 1280, 760}, {450, 0}},
    };
    for (const auto& c : cases)
      QVERIFY2(panelPosition(c.anchor, c.panel, c.available) == c.expected, c.name);
  }

  void mainQueuePostsFromAnotherThreadRunOnItsThreadAndCancelledTimersStop() {
    QtMainQueue queue;
    std::thread::id ranOn;
    std::thread([&] { queue.post([&] { ranOn = std::this_thread::get_id(); }); }).join();
    QTRY_VERIFY(ranOn == std::this_thread::get_id());

    int ticks = 0, once = 0;
    Timer tick = queue.schedule(Seconds(0.01), true, [&] { ++ticks; });
    Timer single = queue.schedule(Seconds(0.01), false, [&] { ++once; });
    queue.runFor(Seconds(0.1));
    QVERIFY(ticks >= 3);
    QCOMPARE(once, 1);
    tick.cancel();
    QVERIFY(!tick.isActive());
    int before = ticks;
    queue.runFor(Seconds(0.05));
    QCOMPARE(ticks, before);
  }
};

QTEST_GUILESS_MAIN(ProgramTest)
#include "ProgramTest.moc"
