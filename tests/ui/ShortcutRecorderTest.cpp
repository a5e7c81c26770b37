// The shortcut recorders as the window's key presses reach them: through the program's event
// loop, from a window of our own.
#include <QKeyEvent>
#include <QSignalSpy>
#include <QWindow>
#include <QtTest>

#include "SettingsWorld.h"
#include "ui/AppEvents.h"
#include "ui/SettingsViewModel.h"

using namespace mixelot;

class ShortcutRecorderTest : public QObject {
  Q_OBJECT

  struct World : testsupport::SettingsWorld {
    SettingsViewModel settings{devices, store, loginItem, workspace};
    QWindow window;

    // A key press as the platform delivers it to the focused window.
    bool press(int key, Qt::KeyboardModifiers modifiers, quint32 scanCode = 0) {
      QKeyEvent event(QEvent::KeyPress, key, modifiers, scanCode, 0, 0);
      QCoreApplication::sendEvent(&window, &event);
      return event.isAccepted();
    }
  };

 private slots:
  void aPressIsStoredByItsKeyPositionAndAnnouncedOnce() {
    World world;
    ShortcutRecorder& recorder = *world.settings.muteAllShortcut();
    QSignalSpy changed(&AppEvents::instance(), &AppEvents::hotkeyChanged);
    recorder.startRecording();
    world.press(Qt::Key_K, Qt::MetaModifier | Qt::ShiftModifier);
    QVERIFY(!recorder.recording());
    QCOMPARE(world.store.integerValue(prefs::kHotkeyKeyCode), 40);
    QCOMPARE(world.store.integerValue(prefs::kHotkeyModifiers), std::int64_t{0x100000 | 0x20000});
    QCOMPARE(world.store.stringValue(prefs::kHotkeyKeyChar), std::optional<std::string>("K"));
    QCOMPARE(changed.count(), 1);

    // The platform's keycode decides the key, not the layout's character: X11 keycode 45 is the
    // K position whatever the layout prints on it.
    world.settings.showHideShortcut()->startRecording();
    world.press(Qt::Key_Z, Qt::ControlModifier | Qt::AltModifier, 45);
    QCOMPARE(world.store.integerValue(prefs::kPopoverHotkeyKeyCode), 40);
    QCOMPARE(world.settings.showHideShortcut()->label(), QStringLiteral("⌃⌥Z"));
  }

  void shiftOrModifiersAloneAreSwallowedAndEscapeStoresNothing() {
    World world;
    ShortcutRecorder& recorder = *world.settings.muteAllShortcut();
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
    ShortcutRecorder& muteAll = *world.settings.muteAllShortcut();
    ShortcutRecorder& showHide = *world.settings.showHideShortcut();
    QSignalSpy suspended(&AppEvents::instance(), &AppEvents::shortcutRecordingChanged);
    muteAll.toggleRecording();
    showHide.toggleRecording();
    QVERIFY(!muteAll.recording());
    QVERIFY(AppEvents::instance().shortcutRecording());
    // One press, one recorder.
    world.press(Qt::Key_M, Qt::ControlModifier);
    QCOMPARE(world.store.integerValue(prefs::kHotkeyKeyCode), prefs::kNoHotkey);
    QCOMPARE(world.store.integerValue(prefs::kPopoverHotkeyKeyCode), 46);
    QVERIFY(!AppEvents::instance().shortcutRecording());

    showHide.startRecording();
    showHide.clear();
    QVERIFY(showHide.recording());
    QCOMPARE(world.store.integerValue(prefs::kPopoverHotkeyKeyCode), prefs::kNoHotkey);
    // Closing the window stops whichever waits.
    world.settings.stopRecording();
    QVERIFY(!showHide.recording());
    QVERIFY(!AppEvents::instance().shortcutRecording());
    QCOMPARE(suspended.count(), 4);
  }
};

QTEST_MAIN(ShortcutRecorderTest)
#include "ShortcutRecorderTest.moc"
