#pragma once

#include <sys/types.h>

#include <optional>

namespace mixelot {

// Facts about processes. Main thread only.
class ProcessInfo {
 public:
  virtual ~ProcessInfo() = default;

  // The pid of this program; behind the interface so tests can place "our own" process among
  // simulated ones.
  virtual pid_t currentProcessId() const = 0;
  // The parent of `pid`; absent when the process is gone or cannot be read.
  virtual std::optional<pid_t> parentProcessId(pid_t pid) const = 0;
};

}  // namespace mixelot
