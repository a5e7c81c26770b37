#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/PermissionService.h"

namespace mixelot {

// Audio capture on a Linux desktop. What decides is whether the audio server lets our client
// reroute other applications' streams, which the audio backend knows while it is connected. Until
// it is (the program may start before the audio server, early in a login): a program outside a
// sandbox reaches every stream of its session, so it is authorized; inside a Flatpak sandbox only
// the session manager's grant counts, which is not known yet. There is no dialog we could raise
// ourselves (the portal owns it), so a refusal stands until access is granted outside.
class LinuxPermissionService final : public PermissionService {
 public:
  // The backend's answer: whether its connection has full access, nothing while not connected.
  using AccessProbe = std::function<std::optional<bool>()>;

  // `flatpakInfoPath` is where a sandbox announces itself; tests point it elsewhere.
  explicit LinuxPermissionService(std::string flatpakInfoPath = "/.flatpak-info");

  AudioPermissionStatus preflight() override;
  // Answers later only while the answer is not known yet (see accessMayHaveChanged).
  bool request(RequestCompletion completion) override;
  // Opens what can grant the access: the sandbox's permission editor inside a Flatpak sandbox
  // (when the host has one), else the audio server's page on its access rules.
  void openSettings() override;

  // Read at every preflight, so the answer is always the connection's current one.
  void setAccessProbe(AccessProbe probe) { probe_ = std::move(probe); }
  // The backend connected, lost its connection or heard from the session manager: a request
  // that waited for the answer completes now that it is known (after sending the user to the
  // settings when it is a refusal, as a request that could not wait does).
  void accessMayHaveChanged();

 private:
  std::optional<bool> access() const;
  bool isSandboxed() const;

  std::string flatpakInfoPath_;
  AccessProbe probe_;
  std::vector<RequestCompletion> waiting_;
};

}  // namespace mixelot
