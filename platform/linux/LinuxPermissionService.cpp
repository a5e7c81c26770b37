#include "platform/linux/LinuxPermissionService.h"

#include <glib.h>
#include <unistd.h>

#include <initializer_list>
#include <vector>

namespace mixelot {
namespace {

// How PipeWire decides what a client may do, and how to give a client full access.
constexpr const char* kAccessHelpUrl = "https://docs.pipewire.org/page_access.html";

}  // namespace

LinuxPermissionService::LinuxPermissionService(std::string flatpakInfoPath)
    : flatpakInfoPath_(std::move(flatpakInfoPath)) {}

AudioPermissionStatus LinuxPermissionService::preflight() {
  if (hasFullAudioAccess_)
    return *hasFullAudioAccess_ ? AudioPermissionStatus::authorized : AudioPermissionStatus::denied;
  bool sandboxed = ::access(flatpakInfoPath_.c_str(), F_OK) == 0;
  return sandboxed ? AudioPermissionStatus::denied : AudioPermissionStatus::authorized;
}

bool LinuxPermissionService::request(RequestCompletion /*completion*/) {
  // Nothing to ask: outside a sandbox access is never withheld, inside one the grant comes from
  // the session manager. The caller sends the user to the settings instead.
  return false;
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
  bool sandboxed = ::access(flatpakInfoPath_.c_str(), F_OK) == 0;
  if (sandboxed &&
      spawn({"flatpak-spawn", "--host", "flatpak", "run", "com.github.tchx84.Flatseal"}))
    return;
  spawn({"xdg-open", kAccessHelpUrl});
}

}  // namespace mixelot
