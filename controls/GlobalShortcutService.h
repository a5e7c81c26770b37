#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace mixelot::controls {

// Modifier keys of a shortcut, as Linux desktops name them.
namespace modifier {
inline constexpr unsigned kShift = 1u << 0;
inline constexpr unsigned kControl = 1u << 1;
inline constexpr unsigned kAlt = 1u << 2;
inline constexpr unsigned kSuper = 1u << 3;
}  // namespace modifier

// One system-wide shortcut as a service takes it.
struct GlobalShortcut {
  std::uint32_t id = 0;
  // A stable name for services that identify shortcuts by string ("mute-all").
  std::string name;
  // What it does, for desktops that list the shortcuts they hold.
  std::string description;
  // The physical key (Linux evdev code) and its symbol: on the layout the shortcut was recorded
  // with where that is known (a letter or digit), else on a US layout.
  int evdev = 0;
  std::string keysym;
  unsigned modifiers = 0;  // modifier:: bits
  // Whether a held key acts again at each repeat (a volume step), rather than once per press.
  bool repeats = false;
};

// The desktop's facility for shortcuts that work while another program has the keyboard.
// Main thread only.
class GlobalShortcutService {
 public:
  virtual ~GlobalShortcutService() = default;

  // For the log line that says which facility the program uses.
  virtual std::string_view name() const = 0;

  // Takes the shortcut under its id (a registered id is replaced). Returns false when the
  // desktop refused it at once; some services learn of a refusal only later, or never.
  virtual bool registerShortcut(const GlobalShortcut& shortcut) = 0;
  virtual void unregisterShortcut(std::uint32_t id) = 0;
  // Whether letting the shortcuts go and taking them again costs the user nothing. A desktop
  // that binds through a session may ask the user again at every new binding: its shortcuts are
  // then kept while a recorder waits, and only their presses are ignored.
  virtual bool rebindsQuietly() const { return true; }

  // Run with the id of a pressed shortcut, on the main thread, from the service's own event
  // handling; the owner sets it.
  std::function<void(std::uint32_t id)> onPressed;
  // Run, where the desktop says, with the desktop's own description of what it bound for a
  // shortcut ("Ctrl+Alt+Z"), which may differ from what was asked for.
  std::function<void(std::uint32_t id, const std::string& description)> onBound;
};

}  // namespace mixelot::controls
