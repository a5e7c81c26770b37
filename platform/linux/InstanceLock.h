#pragma once

#include <sys/types.h>

#include <string>

namespace mixelot {

// One running instance per user session, whether or not there is a session bus: an exclusive
// `flock` on a file in $XDG_RUNTIME_DIR, held until this object (normally: the process) ends.
// The kernel drops the lock when the process dies, however it dies, so a crash never leaves a
// stale lock behind. The holder writes its pid into the file for the message of the next one.
class InstanceLock {
 public:
  enum class State {
    kHeld,           // we are the instance
    kHeldElsewhere,  // another process is
    kUnavailable,    // the file could not be opened or locked: no check is possible
  };

  // Tries to take the lock at `path` at once, without waiting.
  explicit InstanceLock(std::string path);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  State state() const { return state_; }
  const std::string& path() const { return path_; }
  // The holder's pid when another process holds the lock and told us; 0 otherwise.
  pid_t holder() const { return holder_; }
  // Why the lock is unavailable.
  const std::string& error() const { return error_; }

  // "$XDG_RUNTIME_DIR/<name>.lock"; without the variable (a session without a runtime folder),
  // "<fallbackFolder>/<name>.lock".
  static std::string defaultPath(const std::string& name, const std::string& fallbackFolder);

 private:
  std::string path_;
  int fd_ = -1;
  State state_ = State::kUnavailable;
  pid_t holder_ = 0;
  std::string error_;
};

}  // namespace mixelot
