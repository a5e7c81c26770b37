#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QObject>
#include <QVariantMap>
#include <chrono>
#include <map>

#include "controls/GlobalShortcutService.h"
#include "platform/MainQueue.h"

namespace mixelot::controls {

// Global shortcuts through the desktop portal's GlobalShortcuts interface (Wayland desktops):
// one session holding both shortcuts, bound with the stored keys as preferred triggers; the
// desktop may ask the user and may pick other keys. The portal cannot drop one shortcut from a
// session, so every change of the set is applied, once per main-loop turn, as a new session
// replacing the old one. Main thread only.
class PortalShortcutService final : public QObject, public GlobalShortcutService {
  Q_OBJECT

 public:
  static constexpr const char* kService = "org.freedesktop.portal.Desktop";
  static constexpr const char* kPath = "/org/freedesktop/portal/desktop";
  static constexpr const char* kInterface = "org.freedesktop.portal.GlobalShortcuts";

  // Whether the portal on `bus` offers global shortcuts.
  static bool isAvailable(QDBusConnection bus);

  PortalShortcutService(QDBusConnection bus, MainQueue& queue, QObject* parent = nullptr);
  ~PortalShortcutService() override;

  std::string_view name() const override { return "desktop portal GlobalShortcuts"; }
  // Accepted for the next binding; whether the desktop grants it shows only later.
  bool registerShortcut(const GlobalShortcut& shortcut) override;
  void unregisterShortcut(std::uint32_t id) override;
  bool rebindsQuietly() const override { return false; }

  // "ALT+SHIFT+a": a shortcut in the notation of the desktop shortcuts specification.
  static QString triggerText(const GlobalShortcut& shortcut);

 private slots:
  void onSessionCreated(uint response, const QVariantMap& results);
  void onShortcutsBound(uint response, const QVariantMap& results);
  void onActivated(const QDBusMessage& message);
  void onDeactivated(const QDBusMessage& message);

 private:
  void scheduleBind();
  void bind();
  void closeSession();
  // Calls `method` with a fresh handle token in `options` and routes the request's Response to
  // `slot`; a refused call is logged and leaves nothing bound.
  void request(const QString& method, QVariantList arguments, QVariantMap options,
               const char* slot);

  QDBusConnection bus_;
  MainQueue& queue_;
  std::map<std::uint32_t, GlobalShortcut> wanted_;
  std::map<std::uint32_t, GlobalShortcut> bound_;
  QString session_;
  QString pendingRequest_;
  // Shortcuts activated and not deactivated since, with the time of their last activation.
  std::map<QString, std::chrono::steady_clock::time_point> held_;
  bool bindScheduled_ = false;
  unsigned tokenCounter_ = 0;
  std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

}  // namespace mixelot::controls
