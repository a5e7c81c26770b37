#pragma once

#include "platform/ProcessInfo.h"

namespace mixelot {

class LinuxProcessInfo final : public ProcessInfo {
 public:
  pid_t currentProcessId() const override;
  std::optional<pid_t> parentProcessId(pid_t pid) const override;
};

}  // namespace mixelot
