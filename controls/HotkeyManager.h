#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "controls/GlobalShortcutService.h"

namespace mixelot {

class MainQueue;
class PreferencesStore;

namespace controls {

// The system-wide shortcuts: mute-all, show/hide of the mixer panel, and the focused app's mute
// and volume steps. Registers them with the desktop's shortcut service from the preferences (read
// again at every registration) and matches key presses that reach the program's own windows (the
// local monitor), which also covers a shortcut the desktop refused. Knows nothing of what the
// shortcuts do: it runs a callback, always on the main queue. Main thread only.
class HotkeyManager {
 public:
  static constexpr std::uint32_t kMuteAllHotkeyId = 1;
  static constexpr std::uint32_t kPopoverHotkeyId = 2;
  static constexpr std::uint32_t kMuteFocusedHotkeyId = 3;
  static constexpr std::uint32_t kFocusedVolumeUpHotkeyId = 4;
  static constexpr std::uint32_t kFocusedVolumeDownHotkeyId = 5;
  static constexpr std::size_t kHotkeyCount = 5;
  // Stored key codes name keys of 0 to 65535; anything else has no shortcut.
  static constexpr std::int64_t kMaxKeyCode = 0xFFFF;

  HotkeyManager(GlobalShortcutService& service, PreferencesStore& preferences, MainQueue& queue);
  ~HotkeyManager();
  HotkeyManager(const HotkeyManager&) = delete;
  HotkeyManager& operator=(const HotkeyManager&) = delete;

  std::function<void()> onHotkeyPressed;
  std::function<void()> onPopoverHotkeyPressed;
  // The focused app's shortcuts, with the id of the one pressed.
  std::function<void(std::uint32_t id)> onFocusedAppHotkeyPressed;
  // The desktop's description of a shortcut it bound (see GlobalShortcutService::onBound).
  std::function<void(std::uint32_t id, const std::string& description)> onShortcutBound;

  // Drops both shortcuts and the local monitor, then registers each shortcut whose key code is
  // not -1 and installs the local monitor again (while suspended, only where the service keeps
  // its shortcuts meanwhile).
  void registerHotkeys();
  void unregisterHotkeys();
  // Where the desktop does not tell which window has the focus, the focused app's shortcuts are
  // neither registered nor matched (a key taken for nothing would be lost to other programs).
  // Counts from the next registration.
  void setFocusedAppHotkeysEnabled(bool enabled) { focusedAppHotkeysEnabled_ = enabled; }
  // While a shortcut recorder waits for a key, the shortcuts do nothing, so that pressing the
  // current one records it: they are let go (where that is quiet, see GlobalShortcutService) or
  // their presses are ignored, and taken up again afterwards.
  void setSuspended(bool suspended);
  bool isSuspended() const { return suspended_; }
  // Whether the service refused the shortcut at its last registration (another program holds
  // it); the local monitor still matches it.
  bool isRefused(std::uint32_t id) const;

  // The local monitor: a key-down delivered to one of our windows, as a stored key code and
  // stored modifier flags. Returns true when it matched a shortcut (the event is swallowed); an
  // auto-repeat of a held key matches without acting again.
  bool handleLocalKeyDown(std::int64_t keyCode, std::int64_t modifierFlags,
                          bool autoRepeat = false);
  bool hasLocalMonitor() const { return localMonitor_.has_value(); }

  // Stored modifier flags to a service's modifiers: shift, control, option (Alt) and command
  // (Super); every other bit (caps lock, function, keypad) is dropped.
  static unsigned shortcutModifiers(std::int64_t storedFlags);

 private:
  // The key code of each shortcut at the last registration, by id - 1 (-1: none).
  using LocalMonitor = std::array<std::int64_t, kHotkeyCount>;
  struct Registration {
    bool registered = false;
    bool refused = false;
  };

  // Whether the shortcut went to the service; `refused` tells what the service made of it.
  bool registerOne(std::uint32_t id, std::int64_t keyCode, std::int64_t modifiers, bool& refused);
  void deliver(std::uint32_t id);

  GlobalShortcutService& service_;
  PreferencesStore& preferences_;
  MainQueue& queue_;
  std::array<Registration, kHotkeyCount> registrations_{};
  bool suspended_ = false;
  bool focusedAppHotkeysEnabled_ = true;
  std::optional<LocalMonitor> localMonitor_;
  // Posted deliveries check it, so none runs after the manager is gone.
  std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

}  // namespace controls
}  // namespace mixelot
