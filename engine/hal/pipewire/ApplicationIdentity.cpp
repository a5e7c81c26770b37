#include "engine/hal/pipewire/ApplicationIdentity.h"

#include <array>

#include "platform/linux/DesktopEntryIndex.h"
#include "platform/linux/ProcFs.h"

namespace mixelot::hal::pipewire {

std::string applicationIdentity(const IdentityClues& clues) {
  const std::array<const std::string*, 6> ordered = {&clues.portalAppId,     &clues.applicationId,
                                                     &clues.cgroupScopeId,   &clues.desktopEntryId,
                                                     &clues.applicationName, &clues.binary};
  for (const std::string* clue : ordered)
    if (!clue->empty()) return *clue;
  return {};
}

ProcessClues readProcessClues(pid_t pid, const DesktopEntryLookup& desktopEntryForProcess) {
  ProcessClues clues;
  if (pid <= 0) return clues;
  if (auto cgroup = procfs::readProcessFile(pid, "cgroup"))
    clues.cgroupScopeId = appIdFromCgroup(*cgroup).value_or(std::string());
  if (desktopEntryForProcess)
    clues.desktopEntryId = desktopEntryForProcess(pid).value_or(std::string());
  return clues;
}

}  // namespace mixelot::hal::pipewire
