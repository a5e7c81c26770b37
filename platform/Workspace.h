#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace mixelot {

// One application of the user's session, as the desktop knows it.
struct RunningApplication {
  pid_t pid = 0;
  // The application's identity (its desktop-entry id); absent when it has none we can tell.
  std::optional<std::string> bundleIdentifier;
  // Whether this is an installed application (has a desktop entry) rather than a bare process.
  // Only such applications are taken as the owners of other processes.
  bool isApplicationBundle = false;
  std::optional<std::string> localizedName;
  // A themed icon name or an icon file path, as the desktop entry gives it.
  std::optional<std::string> iconName;
  // A terminal or a game launcher: what it starts are programs of their own, not parts of it.
  bool hostsOtherPrograms = false;

  friend bool operator==(const RunningApplication&, const RunningApplication&) = default;
};

// The running applications of the session. Main thread only.
class Workspace {
 public:
  virtual ~Workspace() = default;

  // A fresh snapshot, in no particular order; a pid appears at most once.
  virtual std::vector<RunningApplication> runningApplications() const = 0;
  // The running application with this pid, if any.
  virtual std::optional<RunningApplication> runningApplication(pid_t pid) const = 0;
  // Brings the application's windows to the front; false when that could not be done.
  virtual bool activate(pid_t pid) = 0;
  // The name of the installed application with this identity, running or not; none when no
  // such application is installed.
  virtual std::optional<std::string> installedApplicationName(
      const std::string& bundleIdentifier) const {
    (void)bundleIdentifier;
    return std::nullopt;
  }
  // The installed application whose name is `name` (ignoring case), as the application of the
  // process `pid`: how a program that its desktop did not start, and whose program file is not
  // its entry's, is known by the name it gives itself. None when no such application is installed.
  virtual std::optional<RunningApplication> installedApplicationNamed(const std::string& name,
                                                                      pid_t pid) const {
    (void)name;
    (void)pid;
    return std::nullopt;
  }
};

}  // namespace mixelot
