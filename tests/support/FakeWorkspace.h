#pragma once

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "platform/Workspace.h"

namespace mixelot::testsupport {

// The running applications are whatever the test puts in `applications`.
class FakeWorkspace final : public Workspace {
 public:
  std::vector<RunningApplication> applications;
  // Every pid passed to activate, in order.
  std::vector<pid_t> activated;
  // Installed applications: bundle identifier -> name.
  std::map<std::string, std::string> installed;

  std::vector<RunningApplication> runningApplications() const override { return applications; }
  std::optional<RunningApplication> runningApplication(pid_t pid) const override {
    // The last entry wins, as in a map built from the list.
    auto found = std::find_if(applications.rbegin(), applications.rend(),
                              [pid](const RunningApplication& app) { return app.pid == pid; });
    return found == applications.rend() ? std::nullopt : std::optional(*found);
  }
  bool activate(pid_t pid) override {
    activated.push_back(pid);
    return true;
  }

  std::optional<std::string> installedApplicationName(
      const std::string& bundleIdentifier) const override {
    auto found = installed.find(bundleIdentifier);
    return found == installed.end() ? std::nullopt : std::optional(found->second);
  }
};

}  // namespace mixelot::testsupport
