// The hotkeys and the overlay on a real X11 display: a private Xvfb, keys pressed with xdotool
// while no window of ours has the keyboard, and the overlay as the X server reports it.

#include <QGuiApplication>
#include <QProcess>
#include <QtTest>

#include "AppWorld.h"
#include "controls/KeyCodeTable.h"
#include "controls/OverlayManager.h"
#include "controls/linux/QuickOverlayPresenter.h"
#include "controls/linux/X11ShortcutService.h"
#include "platform/Preferences.h"
#include "platform/SystemLog.h"
#include "ui/AppEvents.h"
#include "ui/QmlUrls.h"
#include "ui/QtMainQueue.h"
#include "ui/SettingsViewModel.h"

using namespace mixelot;

namespace {

QString run(const QString& program, const QStringList& arguments) {
  QProcess process;
  process.start(program, arguments);
  process.waitForFinished(10000);
  return QString::fromUtf8(process.readAllStandardOutput());
}

void press(const QString& keys) {
  run("xdotool", {"key", keys});
}

}  // namespace

class X11ControlsTest : public QObject {
  Q_OBJECT

  // Runs the world's queue (which polls the X connection) until `done` or 10 s.
  static bool runUntil(testsupport::AppWorld& world, const std::function<bool()>& done) {
    QDeadlineTimer deadline(10000);
    while (!done() && !deadline.hasExpired()) {
      world.queue.runUntilIdle();
      QTest::qWait(10);
    }
    return done();
  }

 private slots:
  void shortcutsWorkFromAnywhereAndFollowChangedPreferences() {
    testsupport::AppWorld world;
    auto service = controls::X11ShortcutService::connect(world.queue);
    QVERIFY(service);
    world.shortcuts = service.get();
    std::vector<std::string> overlays;
    int panelToggles = 0;
    auto delegate =
        world.launch({.togglePanel = [&] { return ++panelToggles % 2 == 1; },
                      .showOverlay = [&](const std::string& text) { overlays.push_back(text); }});
    // The first launch's defaults: Alt+Shift+A mutes all, Alt+Shift+S shows the panel.
    press("alt+shift+a");
    QVERIFY(runUntil(world, [&] { return overlays.size() == 1; }));
    press("alt+shift+s");
    QVERIFY(runUntil(world, [&] { return panelToggles == 1; }));

    // A recorder waiting in the settings window: the keys are let go (another program may take
    // them now) and taken again when it stops. A key another program holds is refused, logged
    // once.
    auto* recorder = delegate->settingsViewModel()->muteAllShortcut();
    recorder->startRecording();
    auto other = controls::X11ShortcutService::connect(world.queue);
    controls::GlobalShortcut muteAllKey{
        .id = 1,
        .evdev = 30,
        .keysym = "a",
        .modifiers = controls::modifier::kAlt | controls::modifier::kShift};
    QVERIFY(other->registerShortcut(muteAllKey));
    CapturingLog log;
    recorder->stopRecording();
    recorder->startRecording();
    recorder->stopRecording();
    QCOMPARE(log.lines().size(), size_t{1});
    QVERIFY(log.contains("Alt+Shift+a is held by another program"));
    // Once it lets go (the server drops a closed connection's grabs in its own time), ours again.
    other.reset();
    QVERIFY(runUntil(world, [&] {
      recorder->startRecording();
      recorder->stopRecording();
      return !controls::X11ShortcutService::connect(world.queue)->registerShortcut(muteAllKey);
    }));

    // The settings window records Ctrl+K and says so: the new key counts, the old one is gone.
    // X delivers in order, so once Ctrl+K arrived an Alt+Shift+A pressed before it would have.
    world.preferences.set(prefs::kHotkeyKeyCode, std::int64_t{40});
    world.preferences.set(prefs::kHotkeyModifiers, controls::kModifierControl);
    AppEvents::instance().postHotkeyChanged();
    press("alt+shift+a");
    press("ctrl+k");
    QVERIFY(runUntil(world, [&] { return overlays.size() == 2; }));
    world.queue.runUntilIdle();
    QCOMPARE(overlays, (std::vector<std::string>{"All Muted", "Restored"}));
  }

  void theOverlayIsOneUnfocusedClickThroughWindowNearTheBottom() {
    QtMainQueue queue;
    controls::QuickOverlayPresenter presenter(qml::kOverlayView);
    controls::OverlayManager overlay(presenter, queue);
    overlay.show("All Muted");
    QTest::qWait(200);
    overlay.show("A much longer message than the others");
    auto windows = [] {
      return run("xdotool",
                 {"search", "--onlyvisible", "--name", controls::QuickOverlayPresenter::kTitle})
          .split('\n', Qt::SkipEmptyParts);
    };
    QTRY_COMPARE_WITH_TIMEOUT(windows().size(), 1, 5000);
    const QString window = windows().first();

    // Centred, 80 px above the bottom of the 1280 x 800 screen, as wide as the long message.
    const QString info = run("xwininfo", {"-id", window});
    auto field = [&](const QString& name) {
      return QRegularExpression(name + ":\\s+(-?\\d+)").match(info).captured(1).toInt();
    };
    const int x = field("Absolute upper-left X"), y = field("Absolute upper-left Y");
    const int width = field("Width"), height = field("Height");
    QVERIFY2(width > 200 && height >= 44, qPrintable(info));
    QVERIFY(qAbs(x + width / 2 - 640) <= 1);
    QCOMPARE(y + height, 800 - 80);

    // Never focused, an on-screen-display window type, and the pointer over it is over the root.
    const QString properties = run("xprop", {"-id", window});
    QVERIFY2(properties.contains("Client accepts input or input focus: False"),
             qPrintable(properties));
    QVERIFY(properties.contains("_NET_WM_WINDOW_TYPE_NOTIFICATION"));
    QVERIFY(run("xdotool", {"getwindowfocus"}).trimmed() != window);
    const QString pointer =
        run("xdotool", {"mousemove", QString::number(x + width / 2),
                        QString::number(y + height / 2), "getmouselocation", "--shell"});
    QVERIFY2(!pointer.contains("WINDOW=" + window), qPrintable(pointer));
    // The fade's timing is the overlay manager's (its unit test); here the window goes.
    QTRY_COMPARE_WITH_TIMEOUT(windows().size(), 0, 5000);
  }
};

int main(int argc, char** argv) {
  // A display of our own: the server picks a free number and writes it to its stdout.
  QProcess xvfb;
  xvfb.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"});
  if (!xvfb.waitForReadyRead(15000)) {
    qCritical("Xvfb did not start");
    return 1;
  }
  qputenv("DISPLAY", ":" + xvfb.readLine().trimmed());
  qputenv("QT_QPA_PLATFORM", "xcb");
  int status = 0;
  {
    QGuiApplication application(argc, argv);
    X11ControlsTest test;
    status = QTest::qExec(&test, argc, argv);
  }
  xvfb.terminate();
  xvfb.waitForFinished(5000);
  return status;
}

#include "X11ControlsTest.moc"
