#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

namespace mixelot::hal::pipewire {

// What tells us which application a playing process belongs to, strongest first.
struct IdentityClues {
  std::string portalAppId;      // pipewire.access.portal.app_id: the sandbox vouches for it
  std::string applicationId;    // application.id, as the app (or its toolkit) declares it
  std::string cgroupScopeId;    // the app id in the systemd scope the desktop launched it in
  std::string desktopEntryId;   // the desktop entry whose program the process runs
  std::string applicationName;  // application.name
  std::string binary;           // application.process.binary
};

// The application identifier of a process: the first clue that is present.
std::string applicationIdentity(const IdentityClues& clues);

// Looks up the desktop entry id of a running process (by its executable); absent when none.
using DesktopEntryLookup = std::function<std::optional<std::string>(pid_t)>;

// The clues that come from /proc rather than from PipeWire: the cgroup scope's app id and the
// desktop entry of the executable.
struct ProcessClues {
  std::string cgroupScopeId;
  std::string desktopEntryId;
};
ProcessClues readProcessClues(pid_t pid, const DesktopEntryLookup& desktopEntryForProcess);

}  // namespace mixelot::hal::pipewire
