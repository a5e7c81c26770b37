#pragma once

#include <sys/types.h>

#include <optional>
#include <vector>

namespace mixelot::controls {

// Brings an application's window to the front, found by the processes the application runs, and
// tells whose window has the focus where the desktop says. Main thread only.
class WindowActivator {
 public:
  virtual ~WindowActivator() = default;
  // Activates the topmost window that one of `pids` owns; false when none does (or nothing was
  // asked of the desktop).
  virtual bool activate(const std::vector<pid_t>& pids) = 0;
  // Whether the desktop tells which window has the focus (focusedProcess can answer).
  virtual bool tellsFocusedWindow() const { return false; }
  // The process that owns the focused window; none when no window has the focus or its owner
  // is unknown.
  virtual std::optional<pid_t> focusedProcess() { return std::nullopt; }
};

}  // namespace mixelot::controls
