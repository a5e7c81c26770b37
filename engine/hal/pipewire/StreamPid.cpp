#include "engine/hal/pipewire/StreamPid.h"

#include "engine/hal/pipewire/ParseNumber.h"

namespace mixelot::hal::pipewire {
namespace {

// Set by the session manager on clients of a Flatpak sandbox (no PW_KEY_ macro in 0.3.65).
constexpr std::string_view kPortalAppIdKey = "pipewire.access.portal.app_id";
constexpr std::string_view kFlatpakAccess = "flatpak";
// What pipewire-pulse sets on the client it makes for each app, and how the app reached it.
constexpr std::string_view kPulseClientApi = "pipewire-pulse";
constexpr std::string_view kPulseServerTypeKey = "pulse.server.type";

std::optional<int32_t> parsePid(std::string_view text) {
  auto value = parseNumber<int32_t>(text);
  if (!value || *value <= 0) return std::nullopt;
  return value;
}

}  // namespace

std::optional<pid_t> streamPid(const Graph& graph, const GraphNode& stream,
                               const ProcessLookups& lookups) {
  auto clientId = stream.clientId();
  if (!clientId) return std::nullopt;
  const GraphClient* client = graph.client(*clientId);
  if (!client) return std::nullopt;
  const Dict& props = client->props;
  // An app playing through the PulseAudio server (pipewire-pulse) is a client the server made
  // for it, on the server's own socket: the PID the daemon read off that is the server's. The
  // app reported its own to the server, which holds for a local app outside a sandbox; over TCP
  // it may be another machine's, and in a sandbox it counts within the sandbox's PID namespace,
  // where the host process is found by the app id the server vouches for. Anything else is left
  // out rather than taken for whichever process of ours has that number.
  if (lookup(props, PW_KEY_CLIENT_API) == kPulseClientApi) {
    if (lookup(props, kPulseServerTypeKey) != "unix") return std::nullopt;
    auto reported = parsePid(lookup(props, PW_KEY_APP_PROCESS_ID));
    auto appId = lookup(props, kPortalAppIdKey);
    if (appId.empty() && lookup(props, PW_KEY_ACCESS) != kFlatpakAccess) return reported;
    if (appId.empty() || !reported || !lookups.sandboxHostPid) return std::nullopt;
    return lookups.sandboxHostPid(appId, *reported);
  }
  // The PID the daemon read off the socket beats the one the client reports about itself (a
  // sandboxed client reports its PID inside the sandbox).
  if (auto pid = parsePid(lookup(props, PW_KEY_SEC_PID))) return *pid;
  if (auto pid = parsePid(lookup(props, PW_KEY_APP_PROCESS_ID))) return *pid;
  return std::nullopt;
}

}  // namespace mixelot::hal::pipewire
