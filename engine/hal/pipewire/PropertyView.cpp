// The audio-hardware objects built from the graph: which objects exist, their properties, and
// who hears of a change.

#include "engine/hal/pipewire/PropertyView.h"

#include <algorithm>
#include <numeric>

#include "engine/hal/pipewire/DefaultNodeName.h"
#include "engine/hal/pipewire/ParseNumber.h"
#include "engine/hal/pipewire/StreamPid.h"
#include "engine/hal/pipewire/TransportType.h"
#include "engine/hal/pipewire/VolumeParams.h"

namespace mixelot::hal::pipewire {
namespace {

// Changes that arrive together (an app's client, node, ports and first state change land within
// a few milliseconds) reach the listeners as one notification.
constexpr Seconds kNotificationDelay{0.03};

constexpr uint32_t kStreamDirectionOutput = 0;
// Set by the session manager on clients of a Flatpak sandbox (no PW_KEY_ macro in 0.3.65).
constexpr std::string_view kPortalAppIdKey = "pipewire.access.portal.app_id";

const PropertyAddress kDefaultOutput{selector::kDefaultOutputDevice};
const PropertyAddress kDevices{selector::kDevices};
const PropertyAddress kProcesses{selector::kProcessObjects};

std::string firstOf(const Dict& dict, std::initializer_list<std::string_view> keys) {
  for (auto key : keys) {
    auto value = lookup(dict, key);
    if (!value.empty()) return std::string(value);
  }
  return {};
}

}  // namespace

PropertyView::PropertyView(Graph& graph, MainQueue& queue, Options options)
    : graph_(graph), queue_(queue), options_(std::move(options)) {
  update({});
}

void PropertyView::update(Sources sources) {
  sources_ = std::move(sources);
  rebuild();
}

void PropertyView::rebuild() {
  View previous = std::move(view_);
  view_ = build();
  notifyListeners(previous);
}

std::optional<pid_t> PropertyView::processPid(ObjectID process) const {
  auto key = processKey(process);
  if (!key) return std::nullopt;
  return key->pid;
}

std::optional<ProcessKey> PropertyView::processKey(ObjectID process) const {
  auto it = processKeys_.find(process);
  if (it == processKeys_.end()) return std::nullopt;
  return it->second;
}

ObjectID PropertyView::idFor(const std::string& key) {
  auto [it, isNew] = ids_.try_emplace(key, nextObjectID_);
  if (isNew) ++nextObjectID_;
  return it->second;
}

PropertyView::View PropertyView::build() {
  View view;
  deviceNodes_.clear();
  processKeys_.clear();
  std::vector<ObjectID> devices, processes;
  ObjectID defaultDevice = kUnknownObject;

  if (sources_.connected) {
    std::optional<std::string> defaultName;
    if (auto value = graph_.metadata(GlobalId{PW_ID_CORE}, "default.audio.sink"))
      defaultName = parseDefaultNodeName(value->value);
    for (const auto& [id, node] : graph_.nodes()) {
      if (!node->isOutputDevice() || node->name().empty() ||
          node->name().starts_with(kOwnNodePrefix))
        continue;
      addDeviceObjects(view, *node, devices);
      if (defaultName && node->name() == *defaultName) defaultDevice = devices.back();
    }
    // Device IDs follow the order devices first appeared, as a list a user sees should.
    std::sort(devices.begin(), devices.end());
    addProcessObjects(view, processes);
  }

  for (const auto& aggregate : sources_.aggregates) {
    ObjectView& object = view[aggregate.id];
    object[{selector::kName}] = aggregate.name;
    object[{selector::kDeviceUID}] = aggregate.uid;
    object[{selector::kTransportType}] = transport::kAggregate;
    object[{selector::kStreams, scope::kOutput}] = std::vector<ObjectID>{};
    object[{selector::kDeviceIsAlive}] = uint32_t{aggregate.isAlive ? 1u : 0u};
    devices.push_back(aggregate.id);
  }
  for (const auto& tap : sources_.taps) {
    view[tap.id][{selector::kDeviceUID}] = tap.uid;
    view[tap.id][{selector::kTapDescription}] = tap.processes;
  }

  ObjectView& system = view[kSystemObject];
  system[kDefaultOutput] = defaultDevice;
  system[kDevices] = devices;
  system[kProcesses] = processes;
  return view;
}

const PropertyValue* PropertyView::find(ObjectID object, const PropertyAddress& address) const {
  auto it = view_.find(object);
  if (it == view_.end()) return nullptr;
  auto property = it->second.find(address);
  return property == it->second.end() ? nullptr : &property->second;
}

bool PropertyView::hasProperty(ObjectID object, const PropertyAddress& address) const {
  return find(object, address) != nullptr;
}

Status PropertyView::getPropertyDataSize(ObjectID object, const PropertyAddress& address,
                                         uint32_t& outSize) const {
  if (!view_.count(object)) return status::kBadObject;
  const PropertyValue* value = find(object, address);
  if (!value) return status::kUnknownProperty;
  outSize = propertyDataSize(*value);
  return kNoError;
}

Status PropertyView::getPropertyData(ObjectID object, const PropertyAddress& address,
                                     PropertyValue& outValue) const {
  if (!view_.count(object)) return status::kBadObject;
  const PropertyValue* value = find(object, address);
  if (!value) return status::kUnknownProperty;
  outValue = *value;
  return kNoError;
}

Status PropertyView::setPropertyData(ObjectID object, const PropertyAddress& address,
                                     const PropertyValue& value) {
  if (!view_.count(object)) return status::kBadObject;
  if (!find(object, address)) return status::kUnknownProperty;
  const bool isTap = std::any_of(sources_.taps.begin(), sources_.taps.end(),
                                 [&](const TapObject& tap) { return tap.id == object; });
  if (isTap) {
    const auto* processes = std::get_if<std::vector<ObjectID>>(&value);
    if (address.selector != selector::kTapDescription) return status::kUnsupportedOperation;
    if (!processes) return status::kBadPropertySize;
    return options_.setTapProcesses ? options_.setTapProcesses(object, *processes)
                                    : status::kUnsupportedOperation;
  }
  if (object == kSystemObject && address == kDefaultOutput) return setDefaultOutput(value);
  if (!deviceNodes_.count(object)) return status::kUnsupportedOperation;
  return setDeviceVolume(object, address, value);
}

Status PropertyView::setDefaultOutput(const PropertyValue& value) {
  const auto* device = std::get_if<uint32_t>(&value);
  if (!device) return status::kBadPropertySize;
  // Only a device of the graph; our own aggregates are no place for the desktop's sound.
  auto it = deviceNodes_.find(*device);
  if (it == deviceNodes_.end()) return status::kIllegalOperation;
  const GraphNode* node = graph_.node(it->second);
  if (!node) return status::kBadObject;
  // The choice the desktop's own sound settings make: the session manager keeps it across its
  // restarts and follows it with the current default.
  std::string json = "{\"name\":\"";
  for (char c : node->name()) {
    if (c == '"' || c == '\\') json += '\\';
    json += c;
  }
  json += "\"}";
  if (!graph_.setMetadata(GlobalId{PW_ID_CORE}, std::string(kConfiguredDefaultSinkKey),
                          MetadataValue{"Spa:String:JSON", std::move(json)}))
    return status::kUnsupportedOperation;
  return kNoError;
}

void PropertyView::addDeviceObjects(View& view, const GraphNode& node,
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

void PropertyView::addProcessObjects(View& view, std::vector<ObjectID>& processes) {
  struct Streams {
    const GraphClient* client = nullptr;
    std::vector<const GraphNode*> nodes;  // by serial: the oldest speaks for the process
  };
  std::map<ProcessKey, Streams> byProcess;
  for (const auto& [id, node] : graph_.nodes()) {
    if (!node->isOutputStream() || node->name().starts_with(kOwnNodePrefix)) continue;
    auto pid = streamPid(graph_, *node, options_.processes);
    if (!pid || *pid == options_.ownPid) continue;
    Streams& streams = byProcess[options_.processes.key(*pid)];
    if (!streams.client) streams.client = graph_.client(*node->clientId());
    streams.nodes.push_back(node.get());
  }

  std::erase_if(processClues_, [&](const auto& entry) { return !byProcess.count(entry.first); });
  std::vector<std::pair<ObjectID, ProcessKey>> ordered;
  for (auto& [key, streams] : byProcess) {
    std::sort(streams.nodes.begin(), streams.nodes.end(),
              [](const GraphNode* a, const GraphNode* b) { return a->serial < b->serial; });
    ordered.emplace_back(
        idFor("process:" + std::to_string(key.pid) + ":" + std::to_string(key.startTime)), key);
  }
  std::sort(ordered.begin(), ordered.end());

  for (const auto& [process, key] : ordered) {
    const pid_t pid = key.pid;
    const Streams& streams = byProcess[key];
    const Dict empty;
    const Dict& client = streams.client ? streams.client->props : empty;
    const Dict& stream = streams.nodes.front()->props;
    auto clues = processClues_.find(key);
    if (clues == processClues_.end())
      clues =
          processClues_.emplace(key, readProcessClues(pid, options_.desktopEntryForProcess)).first;
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
    std::string name = identity.applicationName;
    if (name.empty()) name = identity.binary.substr(identity.binary.rfind('/') + 1);
    if (!name.empty()) object[{selector::kProcessName}] = std::move(name);
    object[{selector::kProcessIsRunning}] = uint32_t{running ? 1u : 0u};
    object[{selector::kProcessIsRunningOutput}] = uint32_t{running ? 1u : 0u};
    object[{selector::kProcessIsRunningOutput, scope::kOutput}] = uint32_t{running ? 1u : 0u};
    processes.push_back(process);
    processKeys_[process] = key;
  }
}

void PropertyView::notifyListeners(const View& previous) {
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
    for (const auto& [object, key] : processKeys_) {
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

void PropertyView::deliverNotifications() {
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

Status PropertyView::setDeviceVolume(ObjectID device, const PropertyAddress& address,
                                     const PropertyValue& value) {
  const GlobalId nodeId = deviceNodes_.at(device);
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
  rebuild();
  return kNoError;
}

Status PropertyView::addPropertyListener(ObjectID object, const PropertyAddress& address,
                                         PropertyListener listener, ListenerID& outID) {
  if (!listener) return status::kIllegalOperation;
  outID = nextListener_++;
  listeners_.emplace(
      outID, Listener{object, address, std::make_shared<PropertyListener>(std::move(listener))});
  return kNoError;
}

Status PropertyView::removePropertyListener(ObjectID object, const PropertyAddress& address,
                                            ListenerID id) {
  auto it = listeners_.find(id);
  if (it == listeners_.end() || it->second.object != object || !(it->second.address == address))
    return status::kIllegalOperation;
  listeners_.erase(it);
  pendingNotifications_.erase(id);
  return kNoError;
}

}  // namespace mixelot::hal::pipewire
