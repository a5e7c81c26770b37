#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace mixelot {

// Finds the host process of a Flatpak app's process from the PID it has inside its sandbox (what
// it reports about itself): the process of ours whose sandbox is that app's, by the app id in its
// root's /.flatpak-info or in its systemd scope "app-flatpak-<id>-<n>.scope", and whose innermost
// PID (the last of the NSpid: line of /proc/PID/status) is that PID. Two instances of one app
// (each numbering its processes from 1) cannot be told apart: the first found stands for both,
// which belong to the same app. Main thread only.
class FlatpakProcesses {
 public:
  std::optional<pid_t> hostPid(std::string_view appId, pid_t sandboxPid);

  // The app id of a sandboxed process, when it is one.
  static std::optional<std::string> appIdOf(pid_t pid);

 private:
  using Key = std::pair<std::string, pid_t>;
  std::map<Key, pid_t, std::less<>> found_;
  // A PID not found is looked for again only after a while: every build of the graph asks, and a
  // look-up reads every process of the machine.
  std::map<Key, std::chrono::steady_clock::time_point, std::less<>> missed_;
};

}  // namespace mixelot
