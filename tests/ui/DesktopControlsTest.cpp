// The controls on a real desktop. On a private Xvfb: the hotkeys, pressed with xdotool while no
// window of ours has the keyboard, and the overlay as the X server reports it. On a private session
// bus, against stand-ins: the shortcuts through the desktop portal (the calls made, a rebinding
// only when the shortcuts change, Activated reaching the action) and the overlay as a transient
// notification.
#include <dlfcn.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVirtualObject>
#include <QGuiApplication>
#include <QProcess>
#include <QtTest>

#include "AppWorld.h"
#include "controls/HotkeyManager.h"
#include "controls/KeyCodeTable.h"
#include "controls/OverlayManager.h"
#include "controls/linux/NotificationOverlayPresenter.h"
#include "controls/linux/PortalShortcutService.h"
#include "controls/linux/QuickOverlayPresenter.h"
#include "controls/linux/X11ShortcutService.h"
#include "controls/linux/X11WindowActivator.h"
#include "platform/Preferences.h"
#include "platform/PreferencesStore.h"
#include "platform/SystemLog.h"
#include "support/TempFolder.h"
#include "ui/AppEvents.h"
#include "ui/QmlUrls.h"
#include "ui/QtMainQueue.h"
#include "ui/SettingsViewModel.h"

// One entry of a portal's a(sa{sv}) of shortcuts.
struct BoundShortcut {
  QString id;
  QVariantMap properties;
};
Q_DECLARE_METATYPE(BoundShortcut)
QDBusArgument& operator<<(QDBusArgument& argument, const BoundShortcut& shortcut) {
  argument.beginStructure();
  argument << shortcut.id << shortcut.properties;
  argument.endStructure();
  return argument;
}
const QDBusArgument& operator>>(const QDBusArgument& argument, BoundShortcut& shortcut) {
  argument.beginStructure();
  argument >> shortcut.id >> shortcut.properties;
  argument.endStructure();
  return argument;
}

using namespace mixelot;
using controls::PortalShortcutService;

namespace {

QString run(const QString& program, const QStringList& arguments) {
  QProcess process;
  process.start(program, arguments);
  process.waitForFinished(10000);
  return QString::fromUtf8(process.readAllStandardOutput());
}

struct Call {
  QString member;
  QString path;
  QVariantList arguments;
};

// Records every call it is sent; answers each with `answer`, or a plain reply without one.
class StandIn : public QDBusVirtualObject {
 public:
  std::vector<Call> calls;
  std::function<bool(const QDBusMessage&, const QDBusConnection&)> answer;

  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    calls.push_back({message.member(), message.path(), message.arguments()});
    if (!answer || !answer(message, connection)) connection.send(message.createReply());
    return true;
  }
  int count(const QString& member) const {
    return int(std::count_if(calls.begin(), calls.end(),
                             [&](const Call& call) { return call.member == member; }));
  }
  const Call& last(const QString& member) const {
    return *std::find_if(calls.rbegin(), calls.rend(),
                         [&](const Call& call) { return call.member == member; });
  }
};

// BindShortcuts' a(sa{sv}) as "id: description / trigger" lines.
QStringList shortcutsOf(const Call& bind) {
  QStringList lines;
  const auto argument = bind.arguments.value(1).value<QDBusArgument>();
  argument.beginArray();
  while (!argument.atEnd()) {
    QString id;
    QVariantMap properties;
    argument.beginStructure();
    argument >> id >> properties;
    argument.endStructure();
    lines << id + ": " + properties.value("description").toString() + " / " +
                 properties.value("preferred_trigger").toString();
  }
  argument.endArray();
  return lines;
}

// Answers CreateSession, BindShortcuts and the version property the way the portal does (a
// request object whose Response signal carries the result).
struct StandInPortal final : StandIn {
  QString session;
  StandInPortal() {
    answer = [this](const QDBusMessage& message, const QDBusConnection& connection) {
      const QString member = message.member();
      if (member == "Get") {
        connection.send(message.createReply(QVariant::fromValue(QDBusVariant(1u))));
        return true;
      }
      if (member != "CreateSession" && member != "BindShortcuts") return false;
      const QString sender = message.service().mid(1).replace('.', '_');
      const QVariantMap options =
          qdbus_cast<QVariantMap>(message.arguments().value(member == "BindShortcuts" ? 3 : 0));
      const QString request = "/org/freedesktop/portal/desktop/request/" + sender + '/' +
                              options.value("handle_token").toString();
      QVariantMap results;
      if (member == "BindShortcuts") {
        // What the desktop bound, each with its own description of the trigger.
        QList<BoundShortcut> bound;
        for (const QString& line : shortcutsOf({member, {}, message.arguments()}))
          bound.append({line.section(':', 0, 0),
                        {{"trigger_description", "Desktop " + line.section(" / ", 1)}}});
        results.insert("shortcuts", QVariant::fromValue(bound));
      }
      if (member == "CreateSession") {
        session = "/org/freedesktop/portal/desktop/session/" + sender + '/' +
                  options.value("session_handle_token").toString();
        results.insert("session_handle", session);
      }
      connection.send(message.createReply(QVariant::fromValue(QDBusObjectPath(request))));
      QDBusMessage response =
          QDBusMessage::createSignal(request, "org.freedesktop.portal.Request", "Response");
      response << 0u << results;
      connection.send(response);
      return true;
    };
  }
};

// Locks the keyboard to a layout group, as a layout switch does (xdotool puts back the group it
// found after each of its key presses).
void lockKeyboardGroup(unsigned group) {
  void* x11 = dlopen("libX11.so.6", RTLD_NOW);
  QVERIFY(x11);
  using Open = void* (*)(const char*);
  using Lock = int (*)(void*, unsigned, unsigned);
  using Close = int (*)(void*);
  void* display = reinterpret_cast<Open>(dlsym(x11, "XOpenDisplay"))(nullptr);
  QVERIFY(display);
  constexpr unsigned kUseCoreKeyboard = 0x100;
  reinterpret_cast<Lock>(dlsym(x11, "XkbLockGroup"))(display, kUseCoreKeyboard, group);
  reinterpret_cast<Close>(dlsym(x11, "XCloseDisplay"))(display);
}

}  // namespace

class DesktopControlsTest : public QObject {
  Q_OBJECT

  QProcess daemon_;
  QString address_;

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
  void initTestCase() {
    daemon_.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
    QVERIFY(daemon_.waitForReadyRead(10000));
    address_ = QString::fromLatin1(daemon_.readLine()).trimmed();
  }
  void cleanupTestCase() {
    daemon_.terminate();
    daemon_.waitForFinished(5000);
  }

  void shortcutsWorkFromAnywhereAndFollowChangedPreferences() {
    testsupport::AppWorld world;
    auto service = controls::X11ShortcutService::connect(world.queue);
    QVERIFY(service);
    world.shortcuts = service.get();
    // The Player's window has the focus.
    struct FocusedPlayer final : controls::WindowActivator {
      bool activate(const std::vector<pid_t>&) override { return false; }
      bool tellsFocusedWindow() const override { return true; }
      std::optional<pid_t> focusedProcess() override { return 100; }
    } focus;
    world.windows = &focus;
    world.play(100, "org.example.Player", "Player");
    std::vector<std::string> overlays;
    int panelToggles = 0;
    auto delegate =
        world.launch({.togglePanel = [&] { return ++panelToggles % 2 == 1; },
                      .showOverlay = [&](const std::string& text) { overlays.push_back(text); }});
    // The first launch's defaults: Alt+Shift+A mutes all, Alt+Shift+S shows the panel.
    run("xdotool", {"key", "alt+shift+a"});
    QVERIFY(runUntil(world, [&] { return overlays.size() == 1; }));
    run("xdotool", {"key", "alt+shift+s"});
    QVERIFY(runUntil(world, [&] { return panelToggles == 1; }));
    // Held past the auto-repeat delay: one action.
    run("xdotool", {"keydown", "alt+shift+s"});
    QTest::qWait(1200);
    run("xdotool", {"keyup", "alt+shift+s"});
    QVERIFY(runUntil(world, [&] { return panelToggles == 2; }));
    QTest::qWait(100);
    world.queue.runUntilIdle();
    QCOMPARE(panelToggles, 2);
    // With a second layout group active (the Cyrillic letter is the same key, in group 2).
    run("setxkbmap", {"-layout", "us,ru"});
    lockKeyboardGroup(1);
    run("xdotool", {"key", "alt+shift+Cyrillic_yeru"});
    QVERIFY(runUntil(world, [&] { return panelToggles == 3; }));
    lockKeyboardGroup(0);
    run("setxkbmap", {"-layout", "us"});

    // A recorder waiting in the settings window: the keys are let go (another program may take
    // them now) and taken again when it stops. A key another program holds is refused, logged
    // once.
    auto* recorder = delegate->settingsViewModel()->muteAllShortcut();
    recorder->startRecording();
    auto other = controls::X11ShortcutService::connect(world.queue);
    using namespace controls::modifier;
    const controls::GlobalShortcut muteAllKey{
        .id = 1, .evdev = 30, .keysym = "a", .modifiers = kAlt | kShift};
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
    run("xdotool", {"key", "alt+shift+a"});
    run("xdotool", {"key", "ctrl+k"});
    QVERIFY(runUntil(world, [&] { return overlays.size() == 2; }));
    world.queue.runUntilIdle();
    QCOMPARE(overlays, (std::vector<std::string>{"All Muted", "Restored"}));

    // A combination another program holds is refused under the field, and Ctrl+K stays.
    other = controls::X11ShortcutService::connect(world.queue);
    QVERIFY(other->registerShortcut({.id = 1, .evdev = 36, .keysym = "j", .modifiers = kControl}));
    recorder->startRecording();
    recorder->handleKeyPress(Qt::Key_J, Qt::ControlModifier, 36 + 8);
    QCOMPARE(world.preferences.integerValue(prefs::kHotkeyKeyCode), 40);
    QVERIFY2(recorder->problem().startsWith("Ctrl+J is taken by another program"),
             qPrintable(recorder->problem()));
    run("xdotool", {"key", "ctrl+k"});
    QVERIFY(runUntil(world, [&] { return overlays.size() == 3; }));

    // A held volume key of the focused app turns it at each repeat, not once (all restored first:
    // a muted app stays muted on a step down).
    run("xdotool", {"key", "ctrl+k"});
    QVERIFY(runUntil(world, [&] { return overlays.size() == 4; }));
    world.preferences.set(prefs::kFocusedVolumeDownHotkeyKeyCode, std::int64_t{125});  // Down
    world.preferences.set(prefs::kFocusedVolumeDownHotkeyModifiers, controls::kModifierControl);
    AppEvents::instance().postHotkeyChanged();
    run("xdotool", {"keydown", "ctrl+Down"});
    QTest::qWait(1200);
    run("xdotool", {"keyup", "ctrl+Down"});
    QVERIFY(runUntil(world, [&] { return overlays.size() >= 7; }));
    QCOMPARE(QString::fromStdString(overlays[4]), "Player 95 %");
    QCOMPARE(QString::fromStdString(overlays[6]), "Player 85 %");
  }

  // "Bring to front" on X11: the window manager is asked to activate the app's topmost window;
  // the focused window's owner is read from it.
  void bringToFrontAsksTheWindowManagerForTheAppsWindow() {
    QVERIFY(!controls::X11WindowActivator::connect());  // no window manager that could
    // A stand-in window manager: it redirects the root's children and lists one client window,
    // of process 4242.
    std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection(
        xcb_connect(nullptr, nullptr), &xcb_disconnect);
    xcb_connection_t* wm = connection.get();
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(wm)).data->root;
    auto atom = [&](const char* name) {
      auto* reply = xcb_intern_atom_reply(
          wm, xcb_intern_atom(wm, 0, static_cast<std::uint16_t>(strlen(name)), name), nullptr);
      xcb_atom_t value = reply->atom;
      free(reply);
      return value;
    };
    const std::uint32_t redirect = XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT;
    xcb_change_window_attributes(wm, root, XCB_CW_EVENT_MASK, &redirect);
    const xcb_window_t client = xcb_generate_id(wm);
    xcb_create_window(wm, 0, client, root, 0, 0, 10, 10, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, 0, 0,
                      nullptr);
    const std::uint32_t pid = 4242, activeAtom = atom("_NET_ACTIVE_WINDOW");
    auto set = [&](xcb_window_t window, const char* property, xcb_atom_t type,
                   std::uint32_t value) {
      xcb_change_property(wm, XCB_PROP_MODE_REPLACE, window, atom(property), type, 32, 1, &value);
    };
    set(client, "_NET_WM_PID", XCB_ATOM_CARDINAL, pid);
    set(root, "_NET_CLIENT_LIST_STACKING", XCB_ATOM_WINDOW, client);
    set(root, "_NET_SUPPORTED", XCB_ATOM_ATOM, activeAtom);
    // A flush only hands the requests to the socket; a round trip makes sure the server has
    // applied them before the activator's own connection reads the properties.
    auto sync = [&] { free(xcb_get_input_focus_reply(wm, xcb_get_input_focus(wm), nullptr)); };
    sync();

    auto activator = controls::X11WindowActivator::connect();
    QVERIFY(activator);
    QVERIFY(!activator->activate({17}));
    QVERIFY(activator->activate({17, 4242}));
    xcb_client_message_event_t asked{};
    QDeadlineTimer deadline(5000);
    while (!asked.window && !deadline.hasExpired()) {
      xcb_generic_event_t* event = xcb_poll_for_event(wm);
      if (!event) {
        QTest::qWait(10);
        continue;
      }
      if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE)
        asked = *reinterpret_cast<xcb_client_message_event_t*>(event);
      free(event);
    }
    QCOMPARE(asked.window, client);
    QCOMPARE(asked.type, activeAtom);
    QCOMPARE(asked.data.data32[0], 2u);  // from a pager, on the user's behalf

    // The focused window's process, once the window manager names an active window.
    QVERIFY(activator->tellsFocusedWindow());
    QCOMPARE(activator->focusedProcess(), std::nullopt);
    set(root, "_NET_ACTIVE_WINDOW", XCB_ATOM_WINDOW, client);
    sync();
    QCOMPARE(activator->focusedProcess(), std::optional<pid_t>(4242));
    xcb_delete_property(wm, root, atom("_NET_ACTIVE_WINDOW"));
    xcb_delete_property(wm, root, atom("_NET_SUPPORTED"));
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

  void bindsTheStoredKeysAndActsOnActivated() {
    qDBusRegisterMetaType<BoundShortcut>();
    qDBusRegisterMetaType<QList<BoundShortcut>>();
    QDBusConnection portalBus = QDBusConnection::connectToBus(address_, "portal");
    QDBusConnection client = QDBusConnection::connectToBus(address_, "client");
    QVERIFY(!PortalShortcutService::isAvailable(client));
    StandInPortal portal;
    QVERIFY(portalBus.registerVirtualObject(PortalShortcutService::kPath, &portal,
                                            QDBusConnection::SubPath));
    QVERIFY(portalBus.registerService(PortalShortcutService::kService));
    QVERIFY(PortalShortcutService::isAvailable(client));

    testsupport::TempFolder folder;
    QtMainQueue queue;
    PreferencesStore preferences(folder.path(), queue);
    auto store = [&](std::int64_t keyCode, std::int64_t popoverKeyCode) {
      preferences.set(prefs::kHotkeyKeyCode, keyCode);
      preferences.set(prefs::kHotkeyModifiers, std::int64_t{0xA0000});
      preferences.set(prefs::kPopoverHotkeyKeyCode, popoverKeyCode);
      preferences.set(prefs::kPopoverHotkeyModifiers, std::int64_t{0xA0000});
    };
    store(0, 1);
    PortalShortcutService service(client, queue);
    controls::HotkeyManager manager(service, preferences, queue);
    int muteAll = 0;
    manager.onHotkeyPressed = [&] { ++muteAll; };
    std::map<std::uint32_t, std::string> bound;
    manager.onShortcutBound = [&](std::uint32_t id, const std::string& text) { bound[id] = text; };
    manager.registerHotkeys();

    QTRY_COMPARE(portal.count("BindShortcuts"), 1);
    const Call& bind = portal.last("BindShortcuts");
    QCOMPARE(bind.arguments.value(0).value<QDBusObjectPath>().path(), portal.session);
    QCOMPARE(shortcutsOf(bind),
             (QStringList{"mute-all: Mute or restore all apps / ALT+SHIFT+a",
                          "toggle-mixer: Show or hide the mixer / ALT+SHIFT+s"}));
    QTRY_COMPARE(bound[controls::HotkeyManager::kMuteAllHotkeyId], "Desktop ALT+SHIFT+a");

    auto activate = [&](const QString& session, const QString& id,
                        const char* member = "Activated") {
      QDBusMessage signal = QDBusMessage::createSignal(PortalShortcutService::kPath,
                                                       PortalShortcutService::kInterface, member);
      signal << QVariant::fromValue(QDBusObjectPath(session)) << id << qulonglong(0)
             << QVariantMap();
      portalBus.send(signal);
    };
    activate(portal.session, "mute-all");
    QTRY_COMPARE(muteAll, 1);
    // Held, the desktop repeats it: once per press.
    activate(portal.session, "mute-all");
    activate(portal.session, "mute-all", "Deactivated");
    activate(portal.session, "mute-all");
    QTRY_COMPARE(muteAll, 2);
    QTest::qWait(100);
    QCOMPARE(muteAll, 2);

    // Registered again unchanged (a "hotkey changed" notice): the desktop is not asked again.
    manager.registerHotkeys();
    QTest::qWait(100);
    // Changed: the old session goes, a new one holds the new keys, the old one's presses count no
    // more.
    const QString oldSession = portal.session;
    // The key is asked for by the symbol it was recorded with: Y's place prints Z on a German
    // keyboard.
    store(16, 1);
    preferences.set(prefs::kHotkeyKeyChar, std::string("Z"));
    manager.registerHotkeys();
    QTRY_COMPARE(portal.count("BindShortcuts"), 2);
    QCOMPARE(portal.count("CreateSession"), 2);
    QCOMPARE(portal.last("Close").path, oldSession);
    QVERIFY(shortcutsOf(portal.last("BindShortcuts")).first().endsWith("ALT+SHIFT+z"));
    activate(oldSession, "mute-all");
    activate(portal.session, "mute-all");
    QTRY_COMPARE(muteAll, 3);
    QTest::qWait(100);
    QCOMPARE(muteAll, 3);

    // Both cleared: the session is closed and none is made.
    store(prefs::kNoHotkey, prefs::kNoHotkey);
    manager.registerHotkeys();
    QTRY_COMPARE(portal.count("Close"), 2);
    QTest::qWait(100);
    QCOMPARE(portal.count("CreateSession"), 2);
    portalBus.unregisterService(PortalShortcutService::kService);
  }

  void theOverlayIsATransientNotificationClosedWithTheOverlay() {
    QDBusConnection desktop = QDBusConnection::connectToBus(address_, "desktop");
    QDBusConnection client = QDBusConnection::connectToBus(address_, "client");
    StandIn notifications;  // Notify answers id 7
    notifications.answer = [](const QDBusMessage& message, const QDBusConnection& connection) {
      return message.member() == "Notify" &&
             connection.send(message.createReply(QVariant::fromValue(7u)));
    };
    using controls::NotificationOverlayPresenter;
    QVERIFY(desktop.registerVirtualObject(NotificationOverlayPresenter::kPath, &notifications));
    QVERIFY(desktop.registerService(NotificationOverlayPresenter::kService));
    QtMainQueue queue;
    NotificationOverlayPresenter presenter(client);
    controls::OverlayManager overlay(presenter, queue);
    overlay.show("All Muted");
    QTRY_COMPARE(notifications.calls.size(), size_t{1});
    const QVariantList notify = notifications.calls[0].arguments;
    QCOMPARE(notifications.calls[0].member, "Notify");
    QCOMPARE(notify.value(2).toString(), "audio-volume-muted");
    QCOMPARE(notify.value(3).toString(), "All Muted");
    QVERIFY(qdbus_cast<QVariantMap>(notify.value(6)).value("transient").toBool());
    QCOMPARE(notify.value(7).toInt(), 1500);
    // The desktop lets it expire; closing it with the overlay catches one that ignores expiry.
    QTRY_COMPARE_WITH_TIMEOUT(notifications.calls.size(), size_t{2}, 5000);
    QCOMPARE(notifications.calls[1].member, "CloseNotification");
    QCOMPARE(notifications.calls[1].arguments.value(0).toUInt(), 7u);
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
    DesktopControlsTest test;
    status = QTest::qExec(&test, argc, argv);
  }
  xvfb.terminate();
  xvfb.waitForFinished(5000);
  return status;
}

#include "DesktopControlsTest.moc"
