#pragma once

#include <optional>
#include <string>

#include "platform/PermissionService.h"

namespace mixelot {

// Audio capture on a Linux desktop. What decides is whether the audio server lets our client
// reroute other applications' streams, which the audio backend finds out once connected. Until it
// has: a program outside a sandbox reaches every stream of its session, so it is authorized;
// inside a Flatpak sandbox only the session manager's grant counts. There is no dialog we could
// raise ourselves (the portal owns it), so a refusal stands until access is granted outside.
class LinuxPermissionService final : public PermissionService {
 public:
  // `flatpakInfoPath` is where a sandbox announces itself; tests point it elsewhere.
  explicit LinuxPermissionService(std::string flatpakInfoPath = "/.flatpak-info");

  AudioPermissionStatus preflight() override;
  bool request(RequestCompletion completion) override;
  // Opens what can grant the access: the sandbox's permission editor inside a Flatpak sandbox
  // (when the host has one), else the audio server's page on its access rules.
  void openSettings() override;

  // Set once the audio backend knows whether its connection has full access.
  void setHasFullAudioAccess(bool hasAccess) { hasFullAudioAccess_ = hasAccess; }

 private:
  std::string flatpakInfoPath_;
  std::optional<bool> hasFullAudioAccess_;
};

}  // namespace mixelot
