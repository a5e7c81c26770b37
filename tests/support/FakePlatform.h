#pragma once

// The platform services as the tests set them up: process tree, login item, capture permission,
// running and installed applications.

#include <algorithm>
#include <deque>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/LoginItem.h"
#include "platform/PermissionService.h"
#include "platform/ProcessInfo.h"
#include "platform/Workspace.h"

namespace mixelot::testsupport {

// A process tree set up by the test; a pid without a parent entry reads as gone.
class FakeProcessInfo final : public ProcessInfo {
 public:
  pid_t ownPid = 4242;
  std::map<pid_t, pid_t> parents;

  // chain({10, 20, 30}): 20 is the parent of 10, 30 the parent of 20.
  void chain(std::initializer_list<pid_t> pids) {
    for (auto it = pids.begin(); it != pids.end() && it + 1 != pids.end(); ++it)
      parents[*it] = *(it + 1);
  }

  pid_t currentProcessId() const override { return ownPid; }
  std::optional<pid_t> parentProcessId(pid_t pid) const override {
    auto found = parents.find(pid);
    return found == parents.end() ? std::nullopt : std::optional(found->second);
  }
};

class FakeLoginItem final : public LoginItem {
 public:
  Status current = Status::kNotRegistered;
  bool failChanges = false;
  int registers = 0;
  int unregisters = 0;

  Status status() override { return current; }
  bool registerItem(std::string& error) override {
    ++registers;
    return change(Status::kEnabled, error);
  }
  bool unregisterItem(std::string& error) override {
    ++unregisters;
    return change(Status::kNotRegistered, error);
  }

 private:
  bool change(Status next, std::string& error) {
    if (failChanges) {
      error = "refused";
      return false;
    }
    current = next;
    return true;
  }
};

// Answers preflight with `status`; keeps each request's completion for the test to call, from
// whatever thread it likes.
class FakePermissionService final : public PermissionService {
 public:
  AudioPermissionStatus status = AudioPermissionStatus::unknown;
  // False: the system offers no way to ask.
  bool canRequest = true;
  int preflights = 0;
  int settingsOpened = 0;
  std::deque<RequestCompletion> pendingRequests;

  AudioPermissionStatus preflight() override {
    ++preflights;
    return status;
  }
  bool request(RequestCompletion completion) override {
    if (!canRequest) return false;
    pendingRequests.push_back(std::move(completion));
    return true;
  }
  void openSettings() override { ++settingsOpened; }

  // The oldest pending completion, removed from the queue.
  RequestCompletion takeRequest() {
    RequestCompletion completion = std::move(pendingRequests.front());
    pendingRequests.pop_front();
    return completion;
  }
};

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
  std::optional<RunningApplication> installedApplicationNamed(const std::string& name,
                                                              pid_t pid) const override {
    for (const auto& [id, installedName] : installed)
      if (installedName == name) return RunningApplication{pid, id, true, name, std::nullopt};
    return std::nullopt;
  }
};

}  // namespace mixelot::testsupport
