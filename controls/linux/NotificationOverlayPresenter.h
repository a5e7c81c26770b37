#pragma once

#include <QDBusConnection>

#include "controls/OverlayPresenter.h"

namespace mixelot::controls {

// The overlay where a window cannot place itself (Wayland): a transient notification of the
// desktop's notification service, gone after 1.5 s. Main thread only.
class NotificationOverlayPresenter final : public OverlayPresenter {
 public:
  static constexpr const char* kService = "org.freedesktop.Notifications";
  static constexpr const char* kPath = "/org/freedesktop/Notifications";
  static constexpr int kExpireTimeoutMs = 1500;

  explicit NotificationOverlayPresenter(QDBusConnection bus);

  std::unique_ptr<OverlaySurface> present(const std::string& message) override;

 private:
  QDBusConnection bus_;
};

}  // namespace mixelot::controls
