// The program on the test world: the app delegate's wiring, the panel's view and list models,
// panel placement and the Qt main queue; the settings and first-run windows (the real views) and
// their models, in virtual time. Keys reach the recorders through the event loop, from our window.
#include <QKeyEvent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QSignalSpy>
#include <QWindow>
#include <QtTest>
#include <cmath>
#include <thread>

#include "AppWorld.h"
#include "app/AppWindows.h"
#include "app/PanelPlacement.h"
#include "controls/WindowActivator.h"
#include "engine/AppTapState.h"
#include "engine/AudioDeviceManager.h"
#include "engine/PlaythroughEngine.h"
#include "model/PerAppAudioManager.h"
#include "platform/Preferences.h"
#include "ui/AppEvents.h"
#include "ui/AppListModel.h"
#include "ui/MixerViewModel.h"
#include "ui/OnboardingViewModel.h"
#include "ui/OnboardingWindow.h"
#include "ui/QtMainQueue.h"
#include "ui/SettingsViewModel.h"
#include "ui/SettingsWindow.h"

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
    list << model.data(model.index(i), AppListModel::role(AppListModel::AppId)).toString();
  return list;
}

// Every item of the visual tree under `root` with this object name.
QList<QQuickItem*> findAll(QQuickItem* root, const char* name) {
  QList<QQuickItem*> found;
  for (QQuickItem* child : root->childItems()) {
    if (child->objectName() == QLatin1String(name)) found << child;
    found << findAll(child, name);
  }
  return found;
}

QQuickItem* find(QQuickItem* root, const char* name) {
  QList<QQuickItem*> found = findAll(root, name);
  return found.isEmpty() ? nullptr : found.first();
}
QQuickItem* find(QQuickWindow* window, const char* name) {
  return find(window->contentItem(), name);
}

// Clicks an item in the middle, as the pointer would.
void click(QQuickWindow* window, QQuickItem* item) {
  QVERIFY(item);
  QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
  QTest::mouseClick(window, Qt::LeftButton, {}, centre.toPoint());
}

QString text(QQuickItem* item) {
  return item ? item->property("text").toString() : QString();
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

  struct Program {
    testsupport::AppWorld world;
    QQmlEngine engine;
    // Made after the windows, gone before them, as in the program.
    std::unique_ptr<AppDelegate> delegate;
    AppWindows windows{engine, world.queue, world.preferences};

    explicit Program(bool onboarded) {
      if (onboarded) world.preferences.set(prefs::kOnboardingShown, true);
      InterfaceHooks hooks;
      windows.install(hooks);
      delegate = std::make_unique<AppDelegate>(world.services(), hooks);
      delegate->installSignalHandlers = false;
      windows.attach(*delegate);
      delegate->applicationDidFinishLaunching();
    }
    SettingsWindow* openSettings() {
      delegate->openSettings();
      SettingsWindow* window = windows.settingsWindow();
      if (window) (void)QTest::qWaitForWindowExposed(window);
      return window;
    }
  };

  struct World : testsupport::AppWorld {
    AudioDeviceManager devices{sim};
    QWindow window;
    World() { registerDefaults(preferences); }

    // The settings model as the window makes it, over what the test has set up so far.
    std::unique_ptr<SettingsViewModel> settings() {
      return std::make_unique<SettingsViewModel>(devices, preferences, loginItem, workspace);
    }
    // A key press as the platform delivers it to the focused window.
    bool press(int key, Qt::KeyboardModifiers modifiers, quint32 scanCode = 0) {
      QKeyEvent event(QEvent::KeyPress, key, modifiers, scanCode, 0, 0);
      QCoreApplication::sendEvent(&window, &event);
      return event.isAccepted();
    }
  };

 private slots:
  void cleanup() { softwareVolume.store(1.0f); }

  void aFirstLaunchWithoutPermissionAsksAndAGrantBuildsTheChains() {
    testsupport::AppWorld world;
    world.loginItem.current = LoginItem::Status::kNotRegistered;
    world.permission.status = AudioPermissionStatus::denied;
    world.preferences.set(prefs::kDefaultVolume, 0.5f);  // turned down: it needs a chain
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
    world.preferences.set(prefs::kDefaultVolume, 0.5f);
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
    // Turned down on the headphones, so that it has a chain there.
    world.preferences.set(
        "deviceSpecificVolumes",
        std::map<std::string, std::map<std::string, float>>{{"headphones", {{kPlayer, 0.5f}}}});
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
    // No mute control: the button is off, and a toggle shows nothing the device did not do.
    app.mixer->setSystemVolume(0.5f);
    app.mixer->refresh();
    QVERIFY(!app.mixer->deviceSupportsMute());
    app.mixer->toggleSystemMute();
    QVERIFY(!app.mixer->systemMuted());
    // Back on a device with its own volume, the software gain no longer scales every app.
    app.world.sim.setDefaultOutputDevice(app.world.speakers);
    app.world.queue.runUntilIdle();
    QCOMPARE(softwareVolume.load(), 1.0f);
    QVERIFY(app.mixer->deviceSupportsMute());
  }

  void theFocusedWindowsAppIsMutedAndTurnedAndTheOverlaySaysSo() {
    struct FocusedWindow final : controls::WindowActivator {
      std::optional<pid_t> pid;
      bool activate(const std::vector<pid_t>&) override { return false; }
      bool tellsFocusedWindow() const override { return true; }
      std::optional<pid_t> focusedProcess() override { return pid; }
    } focus;
    testsupport::AppWorld world;
    world.windows = &focus;
    world.play(100, kPlayer, "Player");
    world.play(200, "org.example.Radio", "Radio");
    std::vector<std::string> overlays;
    InterfaceHooks hooks;
    hooks.showOverlay = [&](const std::string& message) { overlays.push_back(message); };
    auto delegate = world.launch(hooks);
    QVERIFY(delegate->settingsViewModel()->focusedAppShortcutsAvailable());
    focus.pid = 100;
    delegate->toggleMuteFocused();
    QVERIFY(delegate->playthroughEngine()->chain(kPlayer, "speakers")->isMuted.load());
    // Radio, untouched, plays straight to the device.
    QVERIFY(!delegate->playthroughEngine()->hasTap("org.example.Radio"));
    delegate->toggleMuteFocused();
    delegate->changeFocusedVolume(-0.05f);
    focus.pid = 999;  // a window of no listed app
    delegate->toggleMuteFocused();
    focus.pid.reset();  // no window has the focus
    delegate->changeFocusedVolume(0.05f);
    QCOMPARE(overlays,
             (std::vector<std::string>{"Player muted", "Player unmuted", "Player 95 %",
                                       "No sound from this window", "No sound from this window"}));

    Launched plain;  // no window manager to ask
    QVERIFY(!plain.delegate->settingsViewModel()->focusedAppShortcutsAvailable());
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
    // Untouched, the player has no chain until the meters need one.
    QVERIFY(!app.delegate->playthroughEngine()->hasTap(kPlayer));
    QSignalSpy sampled(app.mixer, &MixerViewModel::levelsSampled);
    app.mixer->setLevelSampling(true);
    app.mixer->setLevelSampling(true);
    auto chain = app.delegate->playthroughEngine()->chain(kPlayer, "speakers");
    QVERIFY(chain);
    auto play = [&](float amplitude) {
      std::vector<float> in(512, amplitude), out(512);
      hal::AudioBuffer input{2, 2048, in.data()}, output{2, 2048, out.data()};
      app.world.sim.runIOCycle(chain->aggregateDeviceID, {&input, 1}, {&output, 1});
    };
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
             (QList<int>{AppListModel::role(AppListModel::CurrentVolume),
                         AppListModel::role(AppListModel::SliderVolume)}));
  }

  // The slider's value is the model's, so a row built again (scrolled back) shows the same: a
  // muted app keeps the volume it had, an app unmuted at 0 keeps its slider until the volume moves.
  void theSliderVolumeIsKeptByTheModel() {
    AppListModel model;
    auto slider = [&] {
      return model.data(model.index(0), AppListModel::role(AppListModel::SliderVolume)).toFloat();
    };
    auto restored = [](const std::string&) { return 0.6f; };
    model.sync({app("a", 0.0f, true)}, {}, restored);
    QCOMPARE(slider(), 0.6f);
    model.sync({app("a", 0.4f)}, {}, restored);
    model.sync({app("a", 0.0f, true)}, {}, restored);
    QCOMPARE(slider(), 0.4f);
    model.sync({app("a", 0.0f)}, {}, restored);  // unmuted at 0
    QCOMPARE(slider(), 0.4f);
    model.sync({app("a", 0.3f)}, {}, restored);
    QCOMPARE(slider(), 0.3f);
    model.sync({}, {});
    model.sync({app("a", 0.0f, true)}, {}, [](const std::string&) { return 0.0f; });
    QCOMPARE(slider(), 1.0f);
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

  void settingsTwiceIsOneWindowAndItsRecorderTakesKeysFromIt() {
    Program program(true);
    QVERIFY(!program.windows.onboardingWindow());  // completed before
    program.world.preferences.set(prefs::kHotkeyKeyCode, 0);
    program.world.preferences.set(prefs::kHotkeyModifiers, 0xA0000);
    program.world.preferences.set(prefs::kHotkeyKeyChar, "A");
    SettingsWindow* window = program.openSettings();
    QVERIFY(window);
    window->close();
    QCOMPARE(program.openSettings(), window);
    QVERIFY(window->isVisible());

    QQuickItem* field = find(window, "muteAllShortcut");
    QQuickItem* recorder = find(field, "recorderButton");
    QQuickItem* clear = find(field, "clearButton");
    auto label = [&] { return text(recorder->property("contentItem").value<QQuickItem*>()); };
    // Option-Shift-A, key code 0: a shortcut like any other, with its clear button.
    QCOMPARE(label(), QStringLiteral("Alt+Shift+A"));
    QVERIFY(clear->isVisible());

    QSignalSpy changed(&AppEvents::instance(), &AppEvents::hotkeyChanged);
    click(window, recorder);
    QCOMPARE(label(), QStringLiteral("Press shortcut…"));
    QTest::keyClick(window, Qt::Key_K, Qt::MetaModifier | Qt::ShiftModifier);
    QCOMPARE(label(), QStringLiteral("Shift+Super+K"));
    PreferencesStore& stored = program.world.preferences;
    QCOMPARE(stored.integerValue(prefs::kHotkeyKeyCode), 40);
    QCOMPARE(stored.integerValue(prefs::kHotkeyModifiers), std::int64_t{0x100000 | 0x20000});
    QCOMPARE(stored.stringValue(prefs::kHotkeyKeyChar), std::optional<std::string>("K"));
    QCOMPARE(changed.count(), 1);

    click(window, clear);
    QCOMPARE(label(), QStringLiteral("None - click to set"));
    QVERIFY(!clear->isVisible());

    // Another window taking the keyboard, or closing the window, stops a waiting recorder.
    click(window, recorder);
    QVERIFY(AppEvents::instance().shortcutRecording());
    QWindow other;
    other.show();
    other.requestActivate();
    QTRY_VERIFY(!AppEvents::instance().shortcutRecording());
    window->requestActivate();
    QTRY_VERIFY(window->isActive());
    click(window, recorder);
    window->close();
    QVERIFY(!AppEvents::instance().shortcutRecording());
  }

  void generalAndAboutShowTheModel() {
    Program program(true);
    program.world.workspace.installed = {{"org.example.Editor", "Editor"}};
    SettingsWindow* window = program.openSettings();
    QQuickItem* hidden = find(window, "hiddenAppsSection");
    QVERIFY(!hidden->isVisible());
    // No focused window known here: the focused app's fields are off, and say why.
    QVERIFY(find(window, "focusedAppUnavailable")->isVisible());
    QVERIFY(!find(window, "muteFocusedShortcut")->isEnabled());

    QQuickItem* slider = find(window, "defaultVolumeSlider");
    slider->setProperty("value", 0.255);
    QVERIFY(QMetaObject::invokeMethod(slider, "moved"));
    QCOMPARE(text(find(window, "defaultVolumeLabel")),
             QStringLiteral("Default volume for new apps: 25%"));
    QCOMPARE(program.world.preferences.floatValue(prefs::kDefaultVolume), 0.255f);

    // Hidden from the panel while the window was closed: listed at the next opening.
    window->close();
    program.world.preferences.set(prefs::kHiddenApps,
                                  std::vector<std::string>{"org.example.Editor", "org.gone"});
    program.openSettings();
    QVERIFY(hidden->isVisible());
    QCOMPARE(findAll(hidden, "hiddenApp").size(), 2);

    click(window, find(window, "tab1"));
    QTRY_COMPARE(text(find(window, "version")), QStringLiteral("Version 0.1.0"));
  }

  void theIntroductionIsBuiltOnlyWhileNeverCompleted() {
    Program program(false);
    OnboardingWindow* window = program.windows.onboardingWindow();
    QVERIFY(window && QTest::qWaitForWindowExposed(window));
    QVERIFY(window->flags() & Qt::WindowStaysOnTopHint);

    // "Get Started" at once, long before the reveal is over.
    program.world.queue.advance(Seconds(1.25));
    click(window, find(window, "getStarted"));
    QVERIFY(program.world.preferences.boolValue(prefs::kOnboardingShown));
    program.world.queue.advance(Seconds(2.5));
    QTRY_COMPARE(find(window, "startUsing")->opacity(), 1.0);

    QPointer<OnboardingWindow> gone(window);
    click(window, find(window, "startUsing"));
    QVERIFY(!program.windows.onboardingWindow());
    QTRY_VERIFY(!gone);
  }

  void badStoredValuesReadAsTheDefaults() {
    World world;
    world.preferences.set(prefs::kDefaultVolume, -0.5);
    world.preferences.set(prefs::kHiddenApps, std::string("not a list"));
    auto model = world.settings();
    QCOMPARE(model->defaultVolume(), 1.0f);
    QVERIFY(model->hiddenApps().isEmpty());
  }

  void aFailedLoginItemChangeShowsAndStoresTheStateInForce() {
    World world;
    world.loginItem.current = LoginItem::Status::kEnabled;
    world.loginItem.failChanges = true;
    auto model = world.settings();
    model->setLaunchAtLogin(false);
    QVERIFY(model->launchAtLogin());
    QCOMPARE(world.preferences.boolValue(prefs::kLaunchAtLogin), true);

    world.loginItem.failChanges = false;
    model->setLaunchAtLogin(false);
    QVERIFY(!model->launchAtLogin());
    QCOMPARE(world.preferences.boolValue(prefs::kLaunchAtLogin), false);
    QCOMPARE(world.loginItem.current, LoginItem::Status::kNotRegistered);
  }

  void unhidingRemovesEveryCopyAndKeepsWhatTheStoreGainedMeanwhile() {
    World world;
    world.preferences.set(prefs::kHiddenApps, std::vector<std::string>{"a", "b", "a"});
    auto model = world.settings();
    // Hidden from the panel after the settings model loaded its list.
    world.preferences.set(prefs::kHiddenApps, std::vector<std::string>{"a", "b", "a", "c"});
    QSignalSpy changed(model.get(), &SettingsViewModel::hiddenAppsChanged);
    model->unhideApp(QStringLiteral("a"));
    QCOMPARE(model->hiddenApps(), (QStringList{"b", "c"}));
    QCOMPARE(world.preferences.stringArray(prefs::kHiddenApps),
             (std::optional<std::vector<std::string>>{{"b", "c"}}));
    model->unhideApp(QStringLiteral("zzz"));
    QCOMPARE(changed.count(), 2);
  }

  void hiddenAppsAreNamedByTheRunningAppThenTheInstalledEntryThenTheirId() {
    World world;
    world.preferences.set(prefs::kHiddenApps,
                          std::vector<std::string>{"org.running", "org.installed", "org.gone"});
    world.workspace.applications.push_back(
        {.pid = 10, .bundleIdentifier = "org.running", .localizedName = "Running Player"});
    world.workspace.installed = {{"org.running", "Installed Player"},
                                 {"org.installed", "Installed Editor"}};
    auto model = world.settings();
    QStringList names;
    for (const QVariant& row : model->hiddenAppRows())
      names << row.toMap()[QStringLiteral("displayName")].toString();
    QCOMPARE(names, (QStringList{"Running Player", "Installed Editor", "org.gone"}));

    // The login item changed while the window was away: it shows when the window does.
    world.loginItem.current = LoginItem::Status::kNotRegistered;
    model->windowShown();
    QVERIFY(!model->launchAtLogin());
  }

  // The platform's keycode decides the key, not the layout's character: X11 keycode 45 is the K
  // position whatever the layout prints on it. (The window test records a key without one.)
  void aPressIsStoredByItsKeyPosition() {
    World world;
    auto settings = world.settings();
    settings->showHideShortcut()->startRecording();
    world.press(Qt::Key_Z, Qt::ControlModifier | Qt::AltModifier, 45);
    QVERIFY(!settings->showHideShortcut()->recording());
    QCOMPARE(world.preferences.integerValue(prefs::kPopoverHotkeyKeyCode), 40);
    QCOMPARE(settings->showHideShortcut()->label(), QStringLiteral("Ctrl+Alt+Z"));
  }

  void shiftOrModifiersAloneAreSwallowedAndEscapeStoresNothing() {
    World world;
    auto settings = world.settings();
    ShortcutRecorder& recorder = *settings->muteAllShortcut();
    QSignalSpy changed(&AppEvents::instance(), &AppEvents::hotkeyChanged);
    recorder.startRecording();
    QVERIFY(world.press(Qt::Key_A, Qt::ShiftModifier));  // taken, even though ignored
    world.press(Qt::Key_Control, Qt::ControlModifier);
    world.press(Qt::Key_Super_L, Qt::MetaModifier);
    QVERIFY(recorder.recording());
    world.press(Qt::Key_Escape, Qt::ControlModifier);
    QVERIFY(!recorder.recording());
    QCOMPARE(changed.count(), 0);
    // Not recording: the window's own controls get the keys again.
    QVERIFY(!world.press(Qt::Key_A, Qt::ControlModifier));
  }

  void oneRecorderAtATimeAndClearingKeepsItWaiting() {
    World world;
    auto settings = world.settings();
    ShortcutRecorder& muteAll = *settings->muteAllShortcut();
    ShortcutRecorder& showHide = *settings->showHideShortcut();
    QSignalSpy suspended(&AppEvents::instance(), &AppEvents::shortcutRecordingChanged);
    muteAll.toggleRecording();
    showHide.toggleRecording();
    QVERIFY(!muteAll.recording());
    QVERIFY(AppEvents::instance().shortcutRecording());
    // One press, one recorder.
    world.press(Qt::Key_M, Qt::ControlModifier);
    QCOMPARE(world.preferences.integerValue(prefs::kHotkeyKeyCode), prefs::kNoHotkey);
    QCOMPARE(world.preferences.integerValue(prefs::kPopoverHotkeyKeyCode), 46);
    QVERIFY(!AppEvents::instance().shortcutRecording());

    // The other shortcut's combination is not taken, and the field says why.
    muteAll.startRecording();
    world.press(Qt::Key_M, Qt::ControlModifier);
    QVERIFY(!muteAll.recording());
    QCOMPARE(world.preferences.integerValue(prefs::kHotkeyKeyCode), prefs::kNoHotkey);
    QCOMPARE(muteAll.problem(), QStringLiteral("Ctrl+M already shows or hides the mixer"));
    // The focused app's recorders take part like the others.
    ShortcutRecorder& muteFocused = *settings->muteFocusedShortcut();
    muteFocused.startRecording();
    world.press(Qt::Key_N, Qt::ControlModifier);
    QCOMPARE(world.preferences.integerValue(prefs::kMuteFocusedHotkeyKeyCode), 45);
    muteAll.startRecording();
    world.press(Qt::Key_N, Qt::ControlModifier);
    QCOMPARE(muteAll.problem(), QStringLiteral("Ctrl+N already mutes the focused app"));

    showHide.startRecording();
    showHide.clear();
    QVERIFY(showHide.recording());
    QCOMPARE(world.preferences.integerValue(prefs::kPopoverHotkeyKeyCode), prefs::kNoHotkey);
    // Closing the window stops whichever waits.
    settings->stopRecording();
    QVERIFY(!showHide.recording());
    QVERIFY(!AppEvents::instance().shortcutRecording());
    QCOMPARE(suspended.count(), 10);
  }

  // Pressed mid reveal (the window test presses "Get Started" the same way).
  void startUsingCompletesOncePerPressAndAClosedModelLeavesNoStep() {
    World world;
    int completions = 0;
    {
      OnboardingViewModel model(world.queue, world.preferences);
      model.onComplete = [&] { ++completions; };
      model.start();
      world.queue.advance(Seconds(0.6));
      model.getStarted();
      world.queue.advance(Seconds(1.5));
      QVERIFY(model.headlineVisible() && !model.button2Visible());
      model.startUsing();
      model.startUsing();
      QCOMPARE(completions, 2);
    }
    // A model closed mid reveal leaves no step behind to call it.
    world.queue.advance(Seconds(5));
    QCOMPARE(world.queue.pendingTimers(), size_t{0});
  }
};

QTEST_MAIN(ProgramTest)
#include "ProgramTest.moc"
