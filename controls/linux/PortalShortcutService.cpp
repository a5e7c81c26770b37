#include "controls/linux/PortalShortcutService.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <chrono>
#include <utility>

#include "platform/SystemLog.h"

namespace {

// One entry of BindShortcuts' a(sa{sv}).
struct PortalShortcut {
  QString id;
  QVariantMap properties;
};

QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut) {
  argument.beginStructure();
  argument << shortcut.id << shortcut.properties;
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut) {
  argument.beginStructure();
  argument >> shortcut.id >> shortcut.properties;
  argument.endStructure();
  return argument;
}

}  // namespace

Q_DECLARE_METATYPE(PortalShortcut)

namespace mixelot::controls {

namespace {

constexpr const char* kRequestInterface = "org.freedesktop.portal.Request";
constexpr const char* kSessionInterface = "org.freedesktop.portal.Session";
constexpr int kAvailabilityTimeoutMs = 3000;
// Longer than the desktops' auto-repeat delay (GNOME 500 ms, KDE 600 ms), between the press and
// the first repeat; the repeats after it come much faster.
constexpr std::chrono::milliseconds kRepeatGap{700};

bool sameShortcut(const GlobalShortcut& a, const GlobalShortcut& b) {
  return a.name == b.name && a.description == b.description && a.evdev == b.evdev &&
         a.keysym == b.keysym && a.modifiers == b.modifiers;
}

bool sameSet(const std::map<std::uint32_t, GlobalShortcut>& a,
             const std::map<std::uint32_t, GlobalShortcut>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.first == y.first && sameShortcut(x.second, y.second);
  });
}

QString pathText(const QVariant& value) {
  if (value.canConvert<QDBusObjectPath>()) return value.value<QDBusObjectPath>().path();
  return value.toString();
}

}  // namespace

bool PortalShortcutService::isAvailable(QDBusConnection bus) {
  if (!bus.isConnected()) return false;
  QDBusMessage call = QDBusMessage::createMethodCall(
      kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
  call << QString::fromLatin1(kInterface) << QStringLiteral("version");
  // Events keep flowing while it waits: a portal may live in this very process (tests do that).
  QDBusMessage reply = bus.call(call, QDBus::BlockWithGui, kAvailabilityTimeoutMs);
  return reply.type() == QDBusMessage::ReplyMessage;
}

PortalShortcutService::PortalShortcutService(QDBusConnection bus, MainQueue& queue, QObject* parent)
    : QObject(parent), bus_(bus), queue_(queue) {
  qDBusRegisterMetaType<PortalShortcut>();
  qDBusRegisterMetaType<QList<PortalShortcut>>();
  bus_.connect(kService, kPath, kInterface, QStringLiteral("Activated"), this,
               SLOT(onActivated(QDBusMessage)));
  bus_.connect(kService, kPath, kInterface, QStringLiteral("Deactivated"), this,
               SLOT(onDeactivated(QDBusMessage)));
}

PortalShortcutService::~PortalShortcutService() {
  closeSession();
}

QString PortalShortcutService::triggerText(const GlobalShortcut& shortcut) {
  QString text;
  if (shortcut.modifiers & modifier::kControl) text += QStringLiteral("CTRL+");
  if (shortcut.modifiers & modifier::kAlt) text += QStringLiteral("ALT+");
  if (shortcut.modifiers & modifier::kShift) text += QStringLiteral("SHIFT+");
  if (shortcut.modifiers & modifier::kSuper) text += QStringLiteral("LOGO+");
  return text + QString::fromStdString(shortcut.keysym);
}

bool PortalShortcutService::registerShortcut(const GlobalShortcut& shortcut) {
  wanted_[shortcut.id] = shortcut;
  scheduleBind();
  return true;
}

void PortalShortcutService::unregisterShortcut(std::uint32_t id) {
  if (wanted_.erase(id)) scheduleBind();
}

void PortalShortcutService::scheduleBind() {
  // A re-registration drops and adds both shortcuts in one go: bind once, after it.
  if (bindScheduled_) return;
  bindScheduled_ = true;
  std::weak_ptr<int> alive = lifetime_;
  queue_.post([this, alive] {
    if (alive.expired()) return;
    bindScheduled_ = false;
    if (pendingRequest_.isEmpty()) bind();  // else the answer in flight binds again
  });
}

void PortalShortcutService::bind() {
  if (sameSet(wanted_, bound_) && (!session_.isEmpty() || bound_.empty())) return;
  closeSession();
  bound_ = wanted_;
  if (bound_.empty()) return;
  QVariantMap options;
  options.insert(QStringLiteral("session_handle_token"),
                 QStringLiteral("mixelot_session%1").arg(++tokenCounter_));
  request(QStringLiteral("CreateSession"), {}, options, SLOT(onSessionCreated(uint, QVariantMap)));
}

void PortalShortcutService::request(const QString& method, QVariantList arguments,
                                    QVariantMap options, const char* slot) {
  // The Response signal may come before the call's reply: listen on the request's predictable
  // path first.
  QString token = QStringLiteral("mixelot%1").arg(++tokenCounter_);
  QString sender = bus_.baseService().mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));
  QString path = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
  options.insert(QStringLiteral("handle_token"), token);
  bus_.connect(kService, path, kRequestInterface, QStringLiteral("Response"), this, slot);
  pendingRequest_ = path;

  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
  arguments.append(options);
  call.setArguments(arguments);
  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, method, path, slot](QDBusPendingCallWatcher* finished) {
            finished->deleteLater();
            QDBusMessage reply = finished->reply();
            if (pendingRequest_ != path) return;  // answered already
            if (reply.type() != QDBusMessage::ReplyMessage) {
              logLine("Global shortcuts: the portal refused " + method.toStdString() + ": " +
                      reply.errorMessage().toStdString());
              bus_.disconnect(kService, path, kRequestInterface, QStringLiteral("Response"), this,
                              slot);
              pendingRequest_.clear();
              session_.clear();
              bound_.clear();
              return;
            }
            // Portals older than handle tokens answer on a path of their own choosing.
            QString actual = reply.arguments().value(0).value<QDBusObjectPath>().path();
            if (!actual.isEmpty() && actual != path) {
              bus_.disconnect(kService, path, kRequestInterface, QStringLiteral("Response"), this,
                              slot);
              bus_.connect(kService, actual, kRequestInterface, QStringLiteral("Response"), this,
                           slot);
              pendingRequest_ = actual;
            }
          });
}

void PortalShortcutService::onSessionCreated(uint response, const QVariantMap& results) {
  bus_.disconnect(kService, pendingRequest_, kRequestInterface, QStringLiteral("Response"), this,
                  SLOT(onSessionCreated(uint, QVariantMap)));
  pendingRequest_.clear();
  session_ = pathText(results.value(QStringLiteral("session_handle")));
  if (response != 0 || session_.isEmpty()) {
    logLine("Global shortcuts: the portal gave no session (response " + std::to_string(response) +
            ")");
    session_.clear();
    bound_.clear();
    return;
  }
  QList<PortalShortcut> shortcuts;
  for (const auto& [id, shortcut] : bound_) {
    QVariantMap properties;
    properties.insert(QStringLiteral("description"), QString::fromStdString(shortcut.description));
    if (!shortcut.keysym.empty())
      properties.insert(QStringLiteral("preferred_trigger"), triggerText(shortcut));
    shortcuts.append({QString::fromStdString(shortcut.name), properties});
  }
  QVariantList arguments{QVariant::fromValue(QDBusObjectPath(session_)),
                         QVariant::fromValue(shortcuts), QString()};
  request(QStringLiteral("BindShortcuts"), arguments, {},
          SLOT(onShortcutsBound(uint, QVariantMap)));
}

void PortalShortcutService::onShortcutsBound(uint response, const QVariantMap& results) {
  bus_.disconnect(kService, pendingRequest_, kRequestInterface, QStringLiteral("Response"), this,
                  SLOT(onShortcutsBound(uint, QVariantMap)));
  pendingRequest_.clear();
  if (response != 0) {
    logLine("Global shortcuts: the desktop did not bind ours (response " +
            std::to_string(response) + ")");
  } else {
    // What the desktop made of our wishes, which may differ from them.
    const QDBusArgument granted = results.value(QStringLiteral("shortcuts")).value<QDBusArgument>();
    QList<PortalShortcut> list;
    if (granted.currentType() == QDBusArgument::ArrayType) granted >> list;
    for (const PortalShortcut& shortcut : list) {
      const std::string description =
          shortcut.properties.value(QStringLiteral("trigger_description")).toString().toStdString();
      logLine("Global shortcut " + shortcut.id.toStdString() + ": " + description);
      for (const auto& [id, bound] : bound_)
        if (bound.name == shortcut.id.toStdString() && onBound) onBound(id, description);
    }
  }
  if (!sameSet(wanted_, bound_)) bind();
}

// Activated(o session_handle, s shortcut_id, t timestamp, a{sv} options)
void PortalShortcutService::onActivated(const QDBusMessage& message) {
  const QVariantList arguments = message.arguments();
  const QString session = arguments.value(0).value<QDBusObjectPath>().path();
  const QString shortcutId = arguments.value(1).toString();
  if (session.isEmpty() || session != session_ || !onPressed) return;
  // A desktop may repeat a held shortcut: it acts once per press. A desktop that never says
  // Deactivated gets a new press after a pause.
  const auto now = std::chrono::steady_clock::now();
  auto [held, isNew] = held_.try_emplace(shortcutId, now);
  if (!isNew && now - std::exchange(held->second, now) < kRepeatGap) return;
  for (const auto& [id, shortcut] : bound_) {
    if (shortcutId.toStdString() == shortcut.name) {
      onPressed(id);
      return;
    }
  }
}

// Deactivated(o session_handle, s shortcut_id, t timestamp, a{sv} options): released.
void PortalShortcutService::onDeactivated(const QDBusMessage& message) {
  held_.erase(message.arguments().value(1).toString());
}

void PortalShortcutService::closeSession() {
  held_.clear();
  if (session_.isEmpty()) return;
  bus_.asyncCall(QDBusMessage::createMethodCall(kService, session_, kSessionInterface,
                                                QStringLiteral("Close")));
  session_.clear();
}

}  // namespace mixelot::controls
