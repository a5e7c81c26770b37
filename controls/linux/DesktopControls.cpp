#include "controls/linux/DesktopControls.h"

#include <QDBusConnection>
#include <QGuiApplication>

#include "controls/NoShortcutService.h"
#include "controls/linux/NotificationOverlayPresenter.h"
#include "controls/linux/PortalShortcutService.h"
#include "controls/linux/QuickOverlayPresenter.h"
#include "controls/linux/X11ShortcutService.h"
#include "controls/linux/X11WindowActivator.h"
#include "platform/SystemLog.h"

namespace mixelot::controls {

namespace {

enum class Display { none, x11, wayland };

Display currentDisplay() {
  if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return Display::none;
  const QString platform = QGuiApplication::platformName();
  if (platform == QStringLiteral("xcb")) return Display::x11;
  if (platform.startsWith(QStringLiteral("wayland"))) return Display::wayland;
  return Display::none;
}

class NoOverlayPresenter final : public OverlayPresenter {
 public:
  std::unique_ptr<OverlaySurface> present(const std::string&) override { return nullptr; }
};

}  // namespace

std::unique_ptr<GlobalShortcutService> makeGlobalShortcutService(MainQueue& queue) {
  std::unique_ptr<GlobalShortcutService> service;
  switch (currentDisplay()) {
    case Display::x11:
      service = X11ShortcutService::connect(queue);
      break;
    case Display::wayland:
      if (PortalShortcutService::isAvailable(QDBusConnection::sessionBus()))
        service = std::make_unique<PortalShortcutService>(QDBusConnection::sessionBus(), queue);
      break;
    case Display::none:
      break;
  }
  if (!service) service = std::make_unique<NoShortcutService>();
  logLine("Global shortcuts: " + std::string(service->name()));
  return service;
}

std::unique_ptr<OverlayPresenter> makeOverlayPresenter(const QUrl& overlayView,
                                                       QQmlEngine* engine) {
  switch (currentDisplay()) {
    case Display::x11:
      return std::make_unique<QuickOverlayPresenter>(overlayView, engine);
    case Display::wayland:
      return std::make_unique<NotificationOverlayPresenter>(QDBusConnection::sessionBus());
    case Display::none:
      break;
  }
  return std::make_unique<NoOverlayPresenter>();
}

std::unique_ptr<WindowActivator> makeWindowActivator() {
  if (currentDisplay() != Display::x11) return nullptr;
  return X11WindowActivator::connect();
}

}  // namespace mixelot::controls
