#include "platform/linux/FlatpakProcesses.h"

#include "platform/linux/DesktopEntryIndex.h"
#include "platform/linux/ProcFs.h"

namespace mixelot {
namespace {

constexpr std::chrono::seconds kRetryAfterMiss{1};

bool isSandboxed(pid_t pid, std::string_view appId, pid_t sandboxPid) {
  auto pids = procfs::namespacePids(pid);
  // A process of the host's own namespace has one entry: no sandbox of its own.
  if (pids.size() < 2 || pids.back() != sandboxPid) return false;
  // Every sandbox numbers its processes from 1: another user's app may have the same PID in its
  // own, and plays through that user's sound server, not ours.
  if (!procfs::isOurs(pid)) return false;
  return FlatpakProcesses::appIdOf(pid) == appId;
}

}  // namespace

std::optional<std::string> FlatpakProcesses::appIdOf(pid_t pid) {
  if (auto id = procfs::flatpakAppId(pid)) return id;
  // The sandbox's root is not ours to read (another user's, or a hardened /proc): the scope
  // Flatpak starts every app in says the same.
  auto cgroup = procfs::readProcessFile(pid, "cgroup");
  if (!cgroup || cgroup->find("/app-flatpak-") == std::string::npos) return std::nullopt;
  return appIdFromCgroup(*cgroup);
}

std::optional<pid_t> FlatpakProcesses::hostPid(std::string_view appId, pid_t sandboxPid) {
  Key key{std::string(appId), sandboxPid};
  if (auto it = found_.find(key); it != found_.end()) {
    if (isSandboxed(it->second, appId, sandboxPid)) return it->second;
    found_.erase(it);
  }
  const auto now = std::chrono::steady_clock::now();
  if (auto it = missed_.find(key); it != missed_.end()) {
    if (now - it->second < kRetryAfterMiss) return std::nullopt;
    missed_.erase(it);
  }
  for (pid_t pid : procfs::allPids()) {
    if (!isSandboxed(pid, appId, sandboxPid)) continue;
    found_[key] = pid;
    return pid;
  }
  missed_[key] = now;
  return std::nullopt;
}

}  // namespace mixelot
