// The Core-Audio-like view of the graph: which objects exist, their properties, and who hears of
// a change.

#include <algorithm>
#include <numeric>
#include <set>

#include "engine/hal/pipewire/DefaultNodeName.h"
#include "engine/hal/pipewire/ParseNumber.h"
#include "engine/hal/pipewire/PipeWireAudioHardware.h"
#include "engine/hal/pipewire/PipeWireObjects.h"
#include "engine/hal/pipewire/TransportType.h"

namespace mixelot::hal::pipewire {
namespace {

// Changes that arrive together (an app's client, node, ports and first state change land within
// a few milliseconds) reach the listeners as one notification.
constexpr Seconds kNotificationDelay{0.03};

constexpr uint32_t kStreamDirectionOutput = 0;
// Set by the session manager on clients of a Flatpak sandbox (no PW_KEY_ macro in 0.3.65).
constexpr std::string_view kPortalAppIdKey = "pipewire.access.portal.app_id";
// What pipewire-pulse sets on the client it makes for each app, and how the app reached it.
constexpr std::string_view kPulseClientApi = "pipewire-pulse";
constexpr std::string_view kPulseServerTypeKey = "pulse.server.type";

const PropertyAddress kDefaultOutput{selector::kDefaultOutputDevice};
const PropertyAddress kDevices{selector::kDevices};
const PropertyAddress kProcesses{selector::kProcessObjects};

std::optional<int32_t> parsePid(std::string_view text) {
  auto value = parseNumber<int32_t>(text);
  if (!value || *value <= 0) return std::nullopt;
  return value;
}

std::string firstOf(const Dict& dict, std::initializer_list<std::string_view> keys) {
  for (auto key : keys) {
    auto value = lookup(dict, key);
    if (!value.empty()) return std::string(value);
  }
  return {};
}

}  // namespace

ObjectID PipeWireAudioHardware::idFor(const std::string& key) {
  auto [it, isNew] = ids_.try_emplace(key, nextObjectID_);
  if (isNew) ++nextObjectID_;
  return it->second;
}

std::optional<pid_t> PipeWireAudioHardware::streamPid(const GraphNode& stream) const {
  auto clientId = stream.clientId();
  if (!clientId) return std::nullopt;
  const GraphClient* client = graph_.client(*clientId);
  if (!client) return std::nullopt;
  const Dict& props = client->props;
  // An app playing through the PulseAudio server (pipewire-pulse) is a client the server made
  // for it, on the server's own socket: the PID the daemon read off that is the server's. The
  // app reported its own to the server, which holds for a local app outside a sandbox only; over
  // TCP it may be another machine's, and in a sandbox it counts within the sandbox. Those are
  // left out rather than taken for whichever process of ours has that number.
  if (lookup(props, PW_KEY_CLIENT_API) == kPulseClientApi) {
    if (lookup(props, kPulseServerTypeKey) != "unix" || !lookup(props, kPortalAppIdKey).empty())
      return std::nullopt;
    return parsePid(lookup(props, PW_KEY_APP_PROCESS_ID));
  }
  // The PID the daemon read off the socket beats the one the client reports about itself (a
  // sandboxed client reports its PID inside the sandbox).
  if (auto pid = parsePid(lookup(props, PW_KEY_SEC_PID))) return *pid;
  if (auto pid = parsePid(lookup(props, PW_KEY_APP_PROCESS_ID))) return *pid;
  return std::nullopt;
}

void PipeWireAudioHardware::addDeviceObjects(View& view, const GraphNode& node,
                                             std::vector<ObjectID>& devices) {
  const std::string name(node.name());
  const ObjectID device = idFor("device:" + name);
  const ObjectID stream = idFor("stream:" + name);
  devices.push_back(device);
  deviceNodes_[device] = node.id;

  Dict deviceProps;
  if (auto deviceId = node.deviceId())
    if (const GraphDevice* owner = graph_.device(*deviceId)) deviceProps = owner->props;

  ObjectView& object = view[device];
  object[{selector::kName}] =
      firstOf(node.props, {PW_KEY_NODE_DESCRIPTION, PW_KEY_NODE_NICK, PW_KEY_NODE_NAME});
  object[{selector::kDeviceUID}] = name;
  object[{selector::kTransportType}] = transportType(node.props, deviceProps);
  object[{selector::kStreams}] = std::vector<ObjectID>{stream};
  object[{selector::kStreams, scope::kOutput}] = std::vector<ObjectID>{stream};
  object[{selector::kStreams, scope::kInput}] = std::vector<ObjectID>{};
  object[{selector::kDeviceCanBeDefault, scope::kOutput}] = uint32_t{1};
  object[{selector::kDeviceIsAlive}] = uint32_t{1};
  if (node.volume.channelVolumes && !node.volume.channelVolumes->empty()) {
    const auto& channels = *node.volume.channelVolumes;
    const float average = std::accumulate(channels.begin(), channels.end(), 0.0f) /
                          static_cast<float>(channels.size());
    const float main = cubicFromLinear(average);
    object[{selector::kVirtualMainVolume, scope::kOutput}] = main;
    object[{selector::kVolumeScalar, scope::kOutput, 0}] = main;
    for (size_t i = 0; i < channels.size(); ++i)
      object[{selector::kVolumeScalar, scope::kOutput, static_cast<uint32_t>(i + 1)}] =
          cubicFromLinear(channels[i]);
  }
  if (node.volume.mute)
    object[{selector::kMute, scope::kOutput}] = uint32_t{*node.volume.mute ? 1u : 0u};

  view[stream][{selector::kStreamDirection}] = kStreamDirectionOutput;
}

void PipeWireAudioHardware::addProcessObjects(View& view, std::vector<ObjectID>& processes) {
  struct Streams {
    const GraphClient* client = nullptr;
    std::vector<const GraphNode*> nodes;  // by serial: the oldest speaks for the process
  };
  std::map<pid_t, Streams> byPid;
  for (const auto& [id, node] : graph_.nodes()) {
    if (!node->isOutputStream() || node->name().starts_with(kNodeNamePrefix)) continue;
    auto pid = streamPid(*node);
    if (!pid || *pid == ownPid_) continue;
    Streams& streams = byPid[*pid];
    if (!streams.client) streams.client = graph_.client(*node->clientId());
    streams.nodes.push_back(node.get());
  }

  std::erase_if(processClues_, [&](const auto& entry) { return !byPid.count(entry.first); });
  std::vector<std::pair<ObjectID, pid_t>> ordered;
  for (auto& [pid, streams] : byPid) {
    std::sort(streams.nodes.begin(), streams.nodes.end(),
              [](const GraphNode* a, const GraphNode* b) { return a->serial < b->serial; });
    ordered.emplace_back(idFor("process:" + std::to_string(pid)), pid);
  }
  std::sort(ordered.begin(), ordered.end());

  for (const auto& [process, pid] : ordered) {
    const Streams& streams = byPid[pid];
    const Dict empty;
    const Dict& client = streams.client ? streams.client->props : empty;
    const Dict& stream = streams.nodes.front()->props;
    auto clues = processClues_.find(pid);
    if (clues == processClues_.end())
      clues =
          processClues_.emplace(pid, readProcessClues(pid, options_.desktopEntryForProcess)).first;
    IdentityClues identity;
    identity.portalAppId = std::string(lookup(client, kPortalAppIdKey));
    identity.applicationId = firstOf(stream, {PW_KEY_APP_ID});
    if (identity.applicationId.empty()) identity.applicationId = firstOf(client, {PW_KEY_APP_ID});
    identity.cgroupScopeId = clues->second.cgroupScopeId;
    identity.desktopEntryId = clues->second.desktopEntryId;
    identity.applicationName = firstOf(stream, {PW_KEY_APP_NAME});
    if (identity.applicationName.empty())
      identity.applicationName = firstOf(client, {PW_KEY_APP_NAME});
    identity.binary = firstOf(client, {PW_KEY_APP_PROCESS_BINARY});

    const bool running = std::any_of(streams.nodes.begin(), streams.nodes.end(), [](auto* node) {
      return node->state == PW_NODE_STATE_RUNNING;
    });
    ObjectView& object = view[process];
    object[{selector::kProcessPID}] = static_cast<int32_t>(pid);
    object[{selector::kProcessBundleID}] = applicationIdentity(identity);
    object[{selector::kProcessIsRunning}] = uint32_t{running ? 1u : 0u};
    object[{selector::kProcessIsRunningOutput}] = uint32_t{running ? 1u : 0u};
    object[{selector::kProcessIsRunningOutput, scope::kOutput}] = uint32_t{running ? 1u : 0u};
    processes.push_back(process);
    processPids_[process] = pid;
  }
}

PipeWireAudioHardware::View PipeWireAudioHardware::buildView() {
  View view;
  deviceNodes_.clear();
  processPids_.clear();
  std::vector<ObjectID> devices, processes;
  ObjectID defaultDevice = kUnknownObject;

  if (connected_) {
    std::optional<std::string> defaultName;
    if (auto value = graph_.metadata(0, "default.audio.sink"))
      defaultName = parseDefaultNodeName(value->value);
    for (const auto& [id, node] : graph_.nodes()) {
      if (!node->isOutputDevice() || node->name().empty() ||
          node->name().starts_with(kNodeNamePrefix))
        continue;
      addDeviceObjects(view, *node, devices);
      if (defaultName && node->name() == *defaultName) defaultDevice = devices.back();
    }
    // Device IDs follow the order devices first appeared, as a list a user sees should.
    std::sort(devices.begin(), devices.end());
    addProcessObjects(view, processes);
  }

  for (const auto& [id, aggregate] : aggregates_) {
    ObjectView& object = view[id];
    object[{selector::kName}] = aggregate->description.name;
    object[{selector::kDeviceUID}] = aggregate->description.uid;
    object[{selector::kTransportType}] = transport::kAggregate;
    object[{selector::kStreams, scope::kOutput}] = std::vector<ObjectID>{};
    object[{selector::kDeviceIsAlive}] = uint32_t{
        aggregate->generation == generation_ && connected_ && aggregate->isAlive() ? 1u : 0u};
    devices.push_back(id);
  }
  for (const auto& [id, tap] : taps_) {
    view[id][{selector::kDeviceUID}] = tap->description.uuid;
    view[id][{selector::kTapDescription}] = tap->description.processes;
  }

  ObjectView& system = view[kSystemObject];
  system[kDefaultOutput] = defaultDevice;
  system[kDevices] = devices;
  system[kProcesses] = processes;
  return view;
}

void PipeWireAudioHardware::publish() {
  View previous = std::move(view_);
  view_ = buildView();
  notifyListeners(previous);
  noteAccessChange();
}

void PipeWireAudioHardware::noteAccessChange() {
  const auto access = hasFullAccess();
  if (access == reportedAccess_) return;
  reportedAccess_ = access;
  queue_.post([this, alive = std::weak_ptr<int>(lifetime_)] {
    if (!alive.expired() && onAccessChanged) onAccessChanged();
  });
}

void PipeWireAudioHardware::notifyListeners(const View& previous) {
  if (listeners_.empty()) return;
  auto valueIn = [](const View& view, ObjectID object,
                    const PropertyAddress& address) -> const PropertyValue* {
    auto it = view.find(object);
    if (it == view.end()) return nullptr;
    auto property = it->second.find(address);
    return property == it->second.end() ? nullptr : &property->second;
  };
  auto changed = [&](ObjectID object, const PropertyAddress& address) {
    const PropertyValue* before = valueIn(previous, object, address);
    const PropertyValue* after = valueIn(view_, object, address);
    if (!before || !after) return before != after;
    return !(*before == *after);
  };
  // The process list also counts as changed when a process starts or stops playing: that is
  // when an app has to be listed or dropped, and the list is all the model listens to.
  bool processesChanged = changed(kSystemObject, kProcesses);
  if (!processesChanged) {
    for (const auto& [object, pid] : processPids_) {
      if (changed(object, {selector::kProcessIsRunningOutput, scope::kOutput})) {
        processesChanged = true;
        break;
      }
    }
  }

  bool any = false;
  for (const auto& [id, listener] : listeners_) {
    const bool hit = listener.object == kSystemObject && listener.address == kProcesses
                         ? processesChanged
                         : changed(listener.object, listener.address);
    if (!hit) continue;
    auto& pending = pendingNotifications_[id];
    if (std::find(pending.begin(), pending.end(), listener.address) == pending.end())
      pending.push_back(listener.address);
    any = true;
  }
  if (any && !notifyTimer_.isActive())
    notifyTimer_ = queue_.schedule(kNotificationDelay, false, [this] { deliverNotifications(); });
}

void PipeWireAudioHardware::deliverNotifications() {
  auto pending = std::exchange(pendingNotifications_, {});
  std::weak_ptr<int> alive = lifetime_;
  for (auto& [id, addresses] : pending) {
    // A listener may remove itself or others (or destroy us) while we deliver.
    if (alive.expired()) return;
    auto it = listeners_.find(id);
    if (it == listeners_.end()) continue;
    auto callback = it->second.callback;
    (*callback)(addresses);
  }
}

Status PipeWireAudioHardware::setDeviceVolume(ObjectID device, const PropertyAddress& address,
                                              const PropertyValue& value) {
  const uint32_t nodeId = deviceNodes_.at(device);
  const GraphNode* node = graph_.node(nodeId);
  if (!node) return status::kBadObject;

  VolumeState change;
  if (address.selector == selector::kMute && address.scope == scope::kOutput) {
    const auto* mute = std::get_if<uint32_t>(&value);
    if (!mute) return status::kBadPropertySize;
    change.mute = *mute != 0;
  } else if ((address.selector == selector::kVirtualMainVolume ||
              address.selector == selector::kVolumeScalar) &&
             address.scope == scope::kOutput) {
    const auto* volume = std::get_if<float>(&value);
    if (!volume) return status::kBadPropertySize;
    std::vector<float> channels = node->volume.channelVolumes.value_or(std::vector<float>{});
    if (channels.empty()) return status::kUnknownProperty;
    const float linear = linearFromCubic(std::clamp(*volume, 0.0f, 1.0f));
    const bool isMain = address.selector == selector::kVirtualMainVolume || address.element == 0;
    if (isMain) {
      // Like the desktop's own mixers, the main control sets every channel to the same level.
      std::fill(channels.begin(), channels.end(), linear);
    } else {
      if (address.element > channels.size()) return status::kUnknownProperty;
      channels[address.element - 1] = linear;
    }
    change.channelVolumes = std::move(channels);
  } else {
    return status::kUnsupportedOperation;
  }

  // A card's node plays through a route of its device, which is where the session manager keeps
  // (and saves) that node's volume; set it there, as the desktop's mixers do. Any other node
  // (virtual sinks, network sinks) takes it on its own Props.
  bool written = false;
  auto deviceId = node->deviceId();
  auto cardDevice = parseNumber<int32_t>(lookup(node->props, "card.profile.device"));
  if (deviceId && cardDevice) {
    if (const GraphDevice* owner = graph_.device(*deviceId)) {
      for (const auto& route : owner->routes) {
        if (!route.isOutput || route.device != *cardDevice) continue;
        VolumeState full = route.volume;
        if (change.channelVolumes) full.channelVolumes = change.channelVolumes;
        if (change.mute) full.mute = change.mute;
        written = graph_.setRouteVolume(*deviceId, route, full, nodeId);
        break;
      }
    }
  }
  if (!written && !graph_.setNodeVolume(nodeId, change)) return status::kUnspecified;
  publish();
  return kNoError;
}

}  // namespace mixelot::hal::pipewire
