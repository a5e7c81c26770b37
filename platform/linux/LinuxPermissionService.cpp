#include "platform/linux/LinuxPermissionService.h"

#include <glib.h>
#include <unistd.h>

#include <array>

namespace mixelot {

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
  // The first sound settings program of the desktops we know that is installed.
  static constexpr std::array<std::array<const char*, 3>, 4> kCandidates = {{
      {"gnome-control-center", "sound", nullptr},
      {"systemsettings", "kcm_pulseaudio", nullptr},
      {"pavucontrol-qt", nullptr, nullptr},
      {"pavucontrol", nullptr, nullptr},
  }};
  for (const auto& candidate : kCandidates) {
    char* path = g_find_program_in_path(candidate[0]);
    if (!path) continue;
    const char* argv[] = {path, candidate[1], nullptr};
    if (!candidate[1]) argv[1] = nullptr;
    g_spawn_async(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_DEFAULT, nullptr, nullptr,
                  nullptr, nullptr);
    g_free(path);
    return;
  }
}

}  // namespace mixelot
