#include "controls/linux/NotificationOverlayPresenter.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QPointer>
#include <QStringList>
#include <QVariantMap>

namespace mixelot::controls {

namespace {

constexpr const char* kInterface = "org.freedesktop.Notifications";

// The id arrives with the reply; a close before it arrives closes the notification then.
class NotificationSurface final : public OverlaySurface {
 public:
  NotificationSurface(QDBusConnection bus, QDBusPendingCall call)
      : bus_(bus), state_(std::make_shared<State>()) {
    auto* watcher = new QDBusPendingCallWatcher(call);
    std::weak_ptr<State> state = state_;
    QDBusConnection connection = bus_;
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [state, connection](QDBusPendingCallWatcher* finished) mutable {
                       finished->deleteLater();
                       QDBusPendingReply<uint> reply = *finished;
                       auto alive = state.lock();
                       if (reply.isError()) return;
                       if (alive) {
                         alive->id = reply.value();
                       } else {
                         closeNotification(connection, reply.value());
                       }
                     });
  }
  ~NotificationSurface() override { close(); }

  // The notification service has its own look and timing.
  void fadeTo(double, Seconds) override {}

  void close() override {
    if (!state_) return;
    if (state_->id) closeNotification(bus_, state_->id);
    state_.reset();  // a reply still to come closes what it names
  }

 private:
  struct State {
    uint id = 0;
  };
  static void closeNotification(QDBusConnection& bus, uint id) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        NotificationOverlayPresenter::kService, NotificationOverlayPresenter::kPath, kInterface,
        QStringLiteral("CloseNotification"));
    call << id;
    bus.asyncCall(call);
  }

  QDBusConnection bus_;
  std::shared_ptr<State> state_;
};

}  // namespace

NotificationOverlayPresenter::NotificationOverlayPresenter(QDBusConnection bus) : bus_(bus) {}

std::unique_ptr<OverlaySurface> NotificationOverlayPresenter::present(const std::string& message) {
  if (!bus_.isConnected()) return nullptr;
  const QString text = QString::fromStdString(message);
  const bool muted = text == QStringLiteral("All Muted");
  QVariantMap hints;
  hints.insert(QStringLiteral("transient"), true);
  hints.insert(QStringLiteral("category"), QStringLiteral("device"));
  hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("com.corvana.Mixelot"));
  QDBusMessage call =
      QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
  call << QStringLiteral("Mixelot") << uint(0)
       << (muted ? QStringLiteral("audio-volume-muted") : QStringLiteral("audio-volume-high"))
       << text << QString() << QStringList() << hints << int(kExpireTimeoutMs);
  return std::make_unique<NotificationSurface>(bus_, bus_.asyncCall(call));
}

}  // namespace mixelot::controls
