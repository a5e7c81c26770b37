// The models of the settings window (settings, shortcut recorders) and of the introduction, over
// the test world's services with the registered defaults, in virtual time. Key presses reach the
// recorders through the program's event loop, from a window of our own.
#include <QKeyEvent>
#include <QSignalSpy>
#include <QWindow>
#include <QtTest>

#include "AppWorld.h"
#include "engine/AudioDeviceManager.h"
#include "platform/Preferences.h"
#include "ui/AppEvents.h"
#include "ui/OnboardingViewModel.h"
#include "ui/SettingsViewModel.h"

using namespace mixelot;

class SettingsModelsTest : public QObject {
  Q_OBJECT

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
    QCOMPARE(settings->showHideShortcut()->label(), QStringLiteral("⌃⌥Z"));
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

    showHide.startRecording();
    showHide.clear();
    QVERIFY(showHide.recording());
    QCOMPARE(world.preferences.integerValue(prefs::kPopoverHotkeyKeyCode), prefs::kNoHotkey);
    // Closing the window stops whichever waits.
    settings->stopRecording();
    QVERIFY(!showHide.recording());
    QVERIFY(!AppEvents::instance().shortcutRecording());
    QCOMPARE(suspended.count(), 4);
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

QTEST_MAIN(SettingsModelsTest)
#include "SettingsModelsTest.moc"
