// The settings and first-run windows as the program makes them: the real views on the program
// over the simulated audio layer, driven through their windows.
#include <QQmlEngine>
#include <QQuickItem>
#include <QSignalSpy>
#include <QtTest>

#include "AppWorld.h"
#include "app/AppWindows.h"
#include "platform/Preferences.h"
#include "ui/AboutInfo.h"
#include "ui/AppEvents.h"
#include "ui/OnboardingWindow.h"
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
};

QTEST_MAIN(SettingsWindowsTest)
#include "SettingsWindowsTest.moc"
