#pragma once

#include <initializer_list>
#include <map>

#include "platform/ProcessInfo.h"

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

}  // namespace mixelot::testsupport
