// The Wayland paths against stand-ins on a private session bus: the shortcuts through the
// desktop portal (the calls made, a rebinding only when the shortcuts change, Activated reaching
// the action), and the overlay as a transient notification.

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVirtualObject>
#include <QProcess>
#include <QtTest>

#include "controls/HotkeyManager.h"
#include "controls/OverlayManager.h"
#include "controls/linux/NotificationOverlayPresenter.h"
#include "controls/linux/PortalShortcutService.h"
#include "platform/Preferences.h"
#include "platform/PreferencesStore.h"
#include "support/TempFolder.h"
#include "ui/QtMainQueue.h"

using namespace mixelot;
using controls::PortalShortcutService;

namespace {

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

}  // namespace

class WaylandControlsTest : public QObject {
  Q_OBJECT

  QProcess daemon_;
  QString address_;

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

  void bindsTheStoredKeysAndActsOnActivated() {
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
    manager.registerHotkeys();

    QTRY_COMPARE(portal.count("BindShortcuts"), 1);
    const Call& bind = portal.last("BindShortcuts");
    QCOMPARE(bind.arguments.value(0).value<QDBusObjectPath>().path(), portal.session);
    QCOMPARE(shortcutsOf(bind),
             (QStringList{"mute-all: Mute or restore all apps / ALT+SHIFT+a",
                          "toggle-mixer: Show or hide the mixer / ALT+SHIFT+s"}));

    auto activate = [&](const QString& session, const QString& id) {
      QDBusMessage signal = QDBusMessage::createSignal(
          PortalShortcutService::kPath, PortalShortcutService::kInterface, "Activated");
      signal << QVariant::fromValue(QDBusObjectPath(session)) << id << qulonglong(0)
             << QVariantMap();
      portalBus.send(signal);
    };
    activate(portal.session, "mute-all");
    QTRY_COMPARE(muteAll, 1);

    // Registered again unchanged (a "hotkey changed" notice): the desktop is not asked again.
    manager.registerHotkeys();
    QTest::qWait(100);
    // Changed: the old session goes, a new one holds the new keys, the old one's presses count no
    // more.
    const QString oldSession = portal.session;
    store(40, 1);
    manager.registerHotkeys();
    QTRY_COMPARE(portal.count("BindShortcuts"), 2);
    QCOMPARE(portal.count("CreateSession"), 2);
    QCOMPARE(portal.last("Close").path, oldSession);
    QVERIFY(shortcutsOf(portal.last("BindShortcuts")).first().endsWith("ALT+SHIFT+k"));
    activate(oldSession, "mute-all");
    activate(portal.session, "mute-all");
    QTRY_COMPARE(muteAll, 2);
    QTest::qWait(100);
    QCOMPARE(muteAll, 2);

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
    QCOMPARE(notify.value(0).toString(), "Mixelot");
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

QTEST_GUILESS_MAIN(WaylandControlsTest)
#include "WaylandControlsTest.moc"
