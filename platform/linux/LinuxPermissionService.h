#pragma once

#include <string>

#include "platform/PermissionService.h"

namespace mixelot {

// Audio capture on a Linux desktop: a program outside a sandbox reaches every stream of its own
// PipeWire session, so it is authorized; inside a Flatpak sandbox only the session manager's
// grant counts, and there is no dialog we could raise ourselves (the portal owns it), so the
// status is "denied" until access is granted from outside.
class LinuxPermissionService final : public PermissionService {
 public:
  // `flatpakInfoPath` is where a sandbox announces itself; tests point it elsewhere.
  explicit LinuxPermissionService(std::string flatpakInfoPath = "/.flatpak-info");

  AudioPermissionStatus preflight() override;
  bool request(RequestCompletion completion) override;
  // Opens the desktop's sound settings when one is installed.
  void openSettings() override;

  // Set by the audio backend once it knows whether its connection has full access.
  void setHasFullAudioAccess(bool hasAccess) { hasFullAudioAccess_ = hasAccess; }

 private:
  std::string flatpakInfoPath_;
  bool hasFullAudioAccess_ = true;
};

}  // namespace mixelot
