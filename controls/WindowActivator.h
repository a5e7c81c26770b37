#pragma once

#include <sys/types.h>

#include <vector>

namespace mixelot::controls {

// Brings an application's window to the front, found by the processes the application runs.
// Main thread only.
class WindowActivator {
 public:
  virtual ~WindowActivator() = default;
  // Activates the topmost window that one of `pids` owns; false when none does (or nothing was
  // asked of the desktop).
  virtual bool activate(const std::vector<pid_t>& pids) = 0;
};

}  // namespace mixelot::controls
