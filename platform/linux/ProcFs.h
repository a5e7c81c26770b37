#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mixelot::procfs {

// Small readers of /proc. Every one answers "nothing" for a process that is gone or not ours to
// read; a process can end between any two calls.

std::optional<std::string> readFile(const std::string& path);
// /proc/PID/`file` ("stat", "cgroup", "root/.flatpak-info", ...).
std::optional<std::string> readProcessFile(pid_t pid, std::string_view file);
// Whether the process runs as our user (owns its /proc entry): another user's processes are
// neither ours to list nor playing through our sound server.
bool isOurs(pid_t pid);
// The parent pid from /proc/PID/stat (the command name in it may hold spaces and parentheses).
std::optional<pid_t> parentPid(pid_t pid);
// The target of /proc/PID/exe.
std::optional<std::string> executable(pid_t pid);
// The NUL-separated arguments of /proc/PID/cmdline.
std::vector<std::string> commandLine(pid_t pid);
// The Flatpak application id from /proc/PID/root/.flatpak-info, when it runs sandboxed.
std::optional<std::string> flatpakAppId(pid_t pid);
// When the process started, in clock ticks after boot (field 22 of /proc/PID/stat): with the pid,
// it names one process for good, where a pid alone is handed to a new process once the old one
// has ended.
std::optional<uint64_t> startTime(pid_t pid);
// The PIDs of the process in each PID namespace it is in, outermost first (the NSpid: line of
// /proc/PID/status); one entry for a process outside any sandbox.
std::vector<pid_t> namespacePids(pid_t pid);
// What names one run of one program: the start time and the command name, both from a single
// read of /proc/PID/stat. A new process on a reused pid starts later; an exec changes the name.
struct ProcessStamp {
  uint64_t startTime = 0;
  std::string command;
  bool operator==(const ProcessStamp&) const = default;
};
std::optional<ProcessStamp> stamp(pid_t pid);
std::optional<ProcessStamp> stampFromStat(const std::string& stat);
// Clock ticks since boot, the unit of the start time.
std::optional<uint64_t> ticksSinceBoot();
// Every numeric entry of /proc.
std::vector<pid_t> allPids();
// Parses the parent pid out of the text of a stat file.
std::optional<pid_t> parentPidFromStat(const std::string& stat);
std::optional<uint64_t> startTimeFromStat(const std::string& stat);

}  // namespace mixelot::procfs
