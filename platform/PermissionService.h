#pragma once

#include <functional>

namespace mixelot {

// Whether this program may capture other applications' audio.
enum class AudioPermissionStatus { unknown, authorized, denied };

// The system's consent for capturing other applications' audio.
class PermissionService {
 public:
  using RequestCompletion = std::function<void(bool granted)>;

  virtual ~PermissionService() = default;

  // The current decision, without asking the user. A system with no consent mechanism at all
  // answers `authorized`.
  virtual AudioPermissionStatus preflight() = 0;

  // Asks the user. Returns false, without ever calling `completion`, when this system offers no
  // way to ask (the caller then sends the user to the settings page). Otherwise `completion` runs
  // exactly once, later, on any thread.
  [[nodiscard]] virtual bool request(RequestCompletion completion) = 0;

  // Opens the system settings page where the user grants the permission; does nothing when there
  // is no such page.
  virtual void openSettings() = 0;
};

}  // namespace mixelot
