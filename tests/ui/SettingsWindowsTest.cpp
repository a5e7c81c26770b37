// The settings and first-run windows as the program makes them (the real views on the program
// over the simulated audio layer, driven through their windows), and their models (settings,
// shortcut recorders, introduction) on the test world with the registered defaults, in virtual
// time. Key presses reach the recorders through the program's event loop, from a window of our
// own.
#include <QKeyEvent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QSignalSpy>
#include <QWindow>
#include <QtTest>

#include "AppWorld.h"
#include "app/AppWindows.h"
#include "engine/AudioDeviceManager.h"
#include "platform/Preferences.h"
#include "ui/AboutInfo.h"
#include "ui/AppEvents.h"
#include "ui/OnboardingViewModel.h"
#include "ui/OnboardingWindow.h"
#include "ui/SettingsViewModel.h"
#include "ui/SettingsWindow.h"

using namespace mixelot;

namespace {

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

class SettingsWindowsTest : public QObject {
  Q_OBJECT

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
    QCOMPARE(label(), QStringLiteral("⌥⇧A"));
    QVERIFY(clear->isVisible());

    QSignalSpy changed(&AppEvents::instance(), &AppEvents::hotkeyChanged);
    click(window, recorder);
    QCOMPARE(label(), QStringLiteral("Press shortcut…"));
    QTest::keyClick(window, Qt::Key_K, Qt::MetaModifier | Qt::ShiftModifier);
    QCOMPARE(label(), QStringLiteral("⇧⌘K"));
    PreferencesStore& stored = program.world.preferences;
    QCOMPARE(stored.integerValue(prefs::kHotkeyKeyCode), 40);
    QCOMPARE(stored.integerValue(prefs::kHotkeyModifiers), std::int64_t{0x100000 | 0x20000});
    QCOMPARE(stored.stringValue(prefs::kHotkeyKeyChar), std::optional<std::string>("K"));
    QCOMPARE(changed.count(), 1);

    click(window, clear);
    QCOMPARE(label(), QStringLiteral("None - click to set"));
    QVERIFY(!clear->isVisible());

    // Closing the window while a recorder waits stops it.
    click(window, recorder);
    QVERIFY(AppEvents::instance().shortcutRecording());
    window->close();
    QVERIFY(!AppEvents::instance().shortcutRecording());
  }

  void generalAndAboutShowTheModel() {
    Program program(true);
    program.world.workspace.installed = {{"org.example.Editor", "Editor"}};
    SettingsWindow* window = program.openSettings();
    QQuickItem* hidden = find(window, "hiddenAppsSection");
    QVERIFY(!hidden->isVisible());

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
    QCOMPARE(AboutInfo(QString()).version(), QStringLiteral("1.0"));
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

QTEST_MAIN(SettingsWindowsTest)
#include "SettingsWindowsTest.moc"
