#include "platform/linux/LinuxProcessInfo.h"

#include <unistd.h>

#include "platform/linux/ProcFs.h"

namespace mixelot {

pid_t LinuxProcessInfo::currentProcessId() const {
  return ::getpid();
}

std::optional<pid_t> LinuxProcessInfo::parentProcessId(pid_t pid) const {
  return procfs::parentPid(pid);
}

}  // namespace mixelot
