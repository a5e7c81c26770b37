#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/Workspace.h"
#include "platform/linux/DesktopEntryIndex.h"
#include "platform/linux/DesktopEntryWatcher.h"
#include "platform/linux/ProcFs.h"

namespace mixelot {

// The session's running applications: our user's processes tied to an installed desktop entry,
// by (in order) their Flatpak id, the systemd scope their desktop launched them in, and their
// program (for a script, the script rather than its interpreter). In the scope of a terminal or
// a game launcher, only the process the desktop started is that application: what it starts
// there is a program of its own.
class LinuxWorkspace final : public Workspace {
 public:
  explicit LinuxWorkspace(DesktopEntryIndex index);
  // Indexes the desktop entries of these data folders, and indexes them again after a change
  // (an application installed or removed while we run).
  explicit LinuxWorkspace(std::vector<std::string> dataDirs);
  // The XDG data folders.
  LinuxWorkspace();

  std::vector<RunningApplication> runningApplications() const override;
  std::optional<RunningApplication> runningApplication(pid_t pid) const override;
  bool activate(pid_t pid) override;
  std::optional<std::string> installedApplicationName(
      const std::string& bundleIdentifier) const override;
  std::optional<RunningApplication> installedApplicationNamed(const std::string& name,
                                                              pid_t pid) const override;

  // The desktop entry a process belongs to, if any; valid until the next call into this object.
  const DesktopEntry* entryForProcess(pid_t pid) const;
  const DesktopEntryIndex& index() const;
  // How long a process must have run before a scan keeps its answer (10 s).
  void setSettledAge(uint64_t seconds) { settledSeconds_ = seconds; }

 private:
  std::vector<std::string> dataDirs_;
  // Reloaded on a look-up after the watcher saw a change.
  mutable DesktopEntryIndex index_;
  std::unique_ptr<DesktopEntryWatcher> watcher_;
  // What the last full scans found for each process, so that a scan reads one file of a process
  // it has seen before instead of five. Forgotten when the entries are indexed again.
  struct KnownProcess {
    procfs::ProcessStamp stamp;
    std::optional<RunningApplication> application;
  };
  mutable std::unordered_map<pid_t, KnownProcess> known_;
  mutable uint64_t indexGeneration_ = 0;
  uint64_t settledSeconds_ = 10;
};

}  // namespace mixelot
