#include "platform/linux/LinuxPermissionService.h"

#include <glib.h>
#include <unistd.h>

#include <initializer_list>
#include <utility>
#include <vector>

namespace mixelot {
namespace {

// How PipeWire decides what a client may do, and how to give a client full access.
constexpr const char* kAccessHelpUrl = "https://docs.pipewire.org/page_access.html";

}  // namespace

LinuxPermissionService::LinuxPermissionService(std::string flatpakInfoPath)
    : flatpakInfoPath_(std::move(flatpakInfoPath)) {}

std::optional<bool> LinuxPermissionService::access() const {
  return probe_ ? probe_() : std::nullopt;
}

bool LinuxPermissionService::isSandboxed() const {
  return ::access(flatpakInfoPath_.c_str(), F_OK) == 0;
}

AudioPermissionStatus LinuxPermissionService::preflight() {
  if (auto granted = access())
    return *granted ? AudioPermissionStatus::authorized : AudioPermissionStatus::denied;
  return isSandboxed() ? AudioPermissionStatus::unknown : AudioPermissionStatus::authorized;
}

bool LinuxPermissionService::request(RequestCompletion completion) {
  // Nothing to ask: outside a sandbox access is never withheld, inside one the grant comes from
  // the session manager. The caller sends the user to the settings instead, unless the answer
  // is still to come: sending them there for what may turn out granted would be wrong.
  if (preflight() != AudioPermissionStatus::unknown) return false;
  waiting_.push_back(std::move(completion));
  return true;
}

void LinuxPermissionService::accessMayHaveChanged() {
  auto granted = access();
  if (!granted || waiting_.empty()) return;
  auto waiting = std::exchange(waiting_, {});
  if (!*granted) openSettings();
  for (auto& completion : waiting) completion(*granted);
}

void LinuxPermissionService::openSettings() {
  // The sound settings cannot grant this. Inside a Flatpak sandbox the sandbox's permissions do:
  // Flatseal edits them, started on the host. Outside one only the audio server's access rules
  // do, which no settings program edits: open the page that explains them.
  auto spawn = [](std::initializer_list<const char*> command) {
    char* path = g_find_program_in_path(*command.begin());
    if (!path) return false;
    std::vector<char*> argv{path};
    for (auto it = command.begin() + 1; it != command.end(); ++it)
      argv.push_back(const_cast<char*>(*it));
    argv.push_back(nullptr);
    bool started = g_spawn_async(nullptr, argv.data(), nullptr, G_SPAWN_DEFAULT, nullptr, nullptr,
                                 nullptr, nullptr);
    g_free(path);
    return started;
  };
  if (isSandboxed() &&
      spawn({"flatpak-spawn", "--host", "flatpak", "run", "com.github.tchx84.Flatseal"}))
    return;
  spawn({"xdg-open", kAccessHelpUrl});
}

}  // namespace mixelot
