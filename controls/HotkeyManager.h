#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "controls/GlobalShortcutService.h"

namespace mixelot {

class MainQueue;
class PreferencesStore;

namespace controls {

// The two system-wide shortcuts: mute-all and show/hide of the mixer panel. Registers them with
// the desktop's shortcut service from the preferences (read again at every registration) and
// matches key presses that reach the program's own windows (the local monitor), which also
// covers a shortcut the desktop refused. Knows nothing of what the shortcuts do: it runs one of
// two callbacks, always on the main queue. Main thread only.
class HotkeyManager {
 public:
  static constexpr std::uint32_t kMuteAllHotkeyId = 1;
  static constexpr std::uint32_t kPopoverHotkeyId = 2;
  // Stored key codes name keys of 0 to 65535; anything else has no shortcut.
  static constexpr std::int64_t kMaxKeyCode = 0xFFFF;

  HotkeyManager(GlobalShortcutService& service, PreferencesStore& preferences, MainQueue& queue);
  ~HotkeyManager();
  HotkeyManager(const HotkeyManager&) = delete;
  HotkeyManager& operator=(const HotkeyManager&) = delete;

  std::function<void()> onHotkeyPressed;
  std::function<void()> onPopoverHotkeyPressed;

  // Drops both shortcuts and the local monitor, then registers each shortcut whose key code is
  // not -1 and installs the local monitor again.
  void registerHotkeys();
  void unregisterHotkeys();

  // The local monitor: a key-down delivered to one of our windows, as a stored key code and
  // stored modifier flags. Returns true when it matched a shortcut (the event is swallowed).
  bool handleLocalKeyDown(std::int64_t keyCode, std::int64_t modifierFlags);
  bool hasLocalMonitor() const { return localMonitor_.has_value(); }

  // Stored modifier flags to a service's modifiers: shift, control, option (Alt) and command
  // (Super); every other bit (caps lock, function, keypad) is dropped.
  static unsigned shortcutModifiers(std::int64_t storedFlags);

 private:
  struct LocalMonitor {
    std::int64_t hotkeyKeyCode;
    std::int64_t popoverKeyCode;
  };

  bool registerOne(std::uint32_t id, std::int64_t keyCode, std::int64_t modifiers);
  void deliver(std::uint32_t id);

  GlobalShortcutService& service_;
  PreferencesStore& preferences_;
  MainQueue& queue_;
  bool hotkeyRegistered_ = false;
  bool popoverHotkeyRegistered_ = false;
  std::optional<LocalMonitor> localMonitor_;
  // Posted deliveries check it, so none runs after the manager is gone.
  std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

}  // namespace controls
}  // namespace mixelot
