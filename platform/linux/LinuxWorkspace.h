#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/Workspace.h"
#include "platform/linux/DesktopEntryIndex.h"

namespace mixelot {

// The session's running applications: our user's processes tied to an installed desktop entry,
// by (in order) their Flatpak id, the systemd scope their desktop launched them in, and their
// program (for a script, the script rather than its interpreter).
class LinuxWorkspace final : public Workspace {
 public:
  explicit LinuxWorkspace(DesktopEntryIndex index);
  // Indexes the desktop entries of the XDG data folders.
  LinuxWorkspace();

  std::vector<RunningApplication> runningApplications() const override;
  std::optional<RunningApplication> runningApplication(pid_t pid) const override;
  bool activate(pid_t pid) override;
  std::optional<std::string> installedApplicationName(
      const std::string& bundleIdentifier) const override;

  // The desktop entry a process belongs to, if any.
  const DesktopEntry* entryForProcess(pid_t pid) const;
  const DesktopEntryIndex& index() const { return index_; }

 private:
  DesktopEntryIndex index_;
};

}  // namespace mixelot
