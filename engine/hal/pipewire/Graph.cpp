#include "engine/hal/pipewire/Graph.h"

#include <spa/param/param.h>

#include "engine/hal/pipewire/ParseNumber.h"
#include "engine/hal/pipewire/PwCalls.h"

namespace mixelot::hal::pipewire {
namespace {

constexpr std::string_view kDefaultMetadataName = "default";

bool isBoundNodeClass(std::string_view mediaClass) {
  return mediaClass == "Stream/Output/Audio" || mediaClass == "Audio/Sink" ||
         mediaClass == "Audio/Duplex";
}

std::optional<GlobalId> parseGlobalId(std::string_view text) {
  if (auto value = parseNumber<uint32_t>(text)) return GlobalId{*value};
  return std::nullopt;
}

}  // namespace

std::optional<GlobalId> GraphNode::clientId() const {
  return parseGlobalId(lookup(props, PW_KEY_CLIENT_ID));
}

std::optional<GlobalId> GraphNode::deviceId() const {
  return parseGlobalId(lookup(props, PW_KEY_DEVICE_ID));
}

// Static event tables forwarding to the graph; each bound record knows its graph.
struct Graph::Trampolines {
  static void global(void* data, uint32_t id, uint32_t permissions, const char* type, uint32_t,
                     const spa_dict* props) {
    if (type) static_cast<Graph*>(data)->addGlobal(GlobalId{id}, type, permissions, toDict(props));
  }
  static void globalRemove(void* data, uint32_t id) {
    static_cast<Graph*>(data)->removeGlobal(GlobalId{id});
  }
  static constexpr pw_registry_events kRegistryEvents = {
      .version = PW_VERSION_REGISTRY_EVENTS,
      .global = global,
      .global_remove = globalRemove,
  };

  static void nodeInfo(void* data, const pw_node_info* info) {
    auto* node = static_cast<GraphNode*>(data);
    Dict props;
    if (info->change_mask & PW_NODE_CHANGE_MASK_PROPS) props = toDict(info->props);
    std::optional<pw_node_state> state;
    if (info->change_mask & PW_NODE_CHANGE_MASK_STATE) state = info->state;
    node->graph->updateNodeInfo(node->id, props, state);
  }
  static void nodeParam(void* data, int, uint32_t id, uint32_t, uint32_t, const spa_pod* param) {
    auto* node = static_cast<GraphNode*>(data);
    if (id != SPA_PARAM_Props) return;
    auto volume = parseVolumeProps(param);
    if (!volume) return;
    // Props also carry other controls; only a param with volume fields says anything new.
    if (volume->channelVolumes) node->volume.channelVolumes = volume->channelVolumes;
    if (volume->mute) node->volume.mute = volume->mute;
    node->graph->changed();
  }
  static constexpr pw_node_events kNodeEvents = {
      .version = PW_VERSION_NODE_EVENTS,
      .info = nodeInfo,
      .param = nodeParam,
  };

  static void clientInfo(void* data, const pw_client_info* info) {
    auto* client = static_cast<GraphClient*>(data);
    if (info->change_mask & PW_CLIENT_CHANGE_MASK_PROPS) merge(client->props, info->props);
    client->graph->changed();
  }
  static constexpr pw_client_events kClientEvents = {
      .version = PW_VERSION_CLIENT_EVENTS,
      .info = clientInfo,
  };

  static void deviceInfo(void* data, const pw_device_info* info) {
    auto* device = static_cast<GraphDevice*>(data);
    if (info->change_mask & PW_DEVICE_CHANGE_MASK_PROPS) merge(device->props, info->props);
    device->graph->changed();
  }
  static void deviceParam(void* data, int, uint32_t id, uint32_t index, uint32_t,
                          const spa_pod* param) {
    auto* device = static_cast<GraphDevice*>(data);
    if (id != SPA_PARAM_Route) return;
    // Each (re-)enumeration lists every active route from index 0.
    if (index == 0) device->routes.clear();
    if (auto route = parseRoute(param)) device->routes.push_back(*route);
    device->graph->changed();
  }
  static constexpr pw_device_events kDeviceEvents = {
      .version = PW_VERSION_DEVICE_EVENTS,
      .info = deviceInfo,
      .param = deviceParam,
  };

  static int metadataProperty(void* data, uint32_t subject, const char* key, const char* type,
                              const char* value) {
    static_cast<Graph*>(data)->updateMetadata(GlobalId{subject}, key, type, value);
    return 0;
  }
  static constexpr pw_metadata_events kMetadataEvents = {
      .version = PW_VERSION_METADATA_EVENTS,
      .property = metadataProperty,
  };
};

Graph::Graph(std::function<void()> onChanged) : onChanged_(std::move(onChanged)) {}

Graph::~Graph() {
  detach();
}

void Graph::attach(pw_core* core) {
  detach();
  pw_registry* registry = calls::coreRegistry(core);
  if (!registry) return;
  registry_.attach(registry, [&](pw_registry* object, spa_hook* hook) {
    calls::addRegistryListener(object, hook, &Trampolines::kRegistryEvents, this);
  });
}

void Graph::detach() {
  metadataProxy_.reset();
  metadataId_.reset();
  metadata_.clear();
  // Each record's listener removes its hook before its proxy goes.
  nodes_.clear();
  clients_.clear();
  devices_.clear();
  ports_.clear();
  registry_.reset();
}

template <typename T>
T* Graph::bind(GlobalId id, const char* type, uint32_t version) {
  if (!registry_) return nullptr;
  return static_cast<T*>(pw_registry_bind(registry_.get(), id.value, type, version, 0));
}

void Graph::addGlobal(GlobalId id, std::string_view type, uint32_t permissions, const Dict& props) {
  if (type == PW_TYPE_INTERFACE_Node) {
    auto node = std::make_unique<GraphNode>();
    node->graph = this;
    node->id = id;
    node->props = props;
    node->serial = Serial{parseNumber<uint64_t>(lookup(props, PW_KEY_OBJECT_SERIAL)).value_or(0)};
    // Registry globals carry only a few keys (no application.id on a stream): bind the nodes we
    // need the full properties, state and volume of.
    if (isBoundNodeClass(node->mediaClass())) {
      if (auto* bound = bind<pw_node>(id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE)) {
        node->proxy.attach(bound, [&](pw_node* object, spa_hook* hook) {
          calls::addNodeListener(object, hook, &Trampolines::kNodeEvents, node.get());
        });
        if (node->isOutputDevice()) {
          uint32_t params[] = {SPA_PARAM_Props};
          calls::subscribeNodeParams(bound, params, 1);
        }
      }
    }
    nodes_[id] = std::move(node);
  } else if (type == PW_TYPE_INTERFACE_Port) {
    GraphPort port;
    port.id = id;
    port.nodeId = parseGlobalId(lookup(props, PW_KEY_NODE_ID)).value_or(GlobalId{});
    port.isOutput = lookup(props, PW_KEY_PORT_DIRECTION) == "out";
    port.isMonitor = lookup(props, PW_KEY_PORT_MONITOR) == "true";
    port.channel = std::string(lookup(props, PW_KEY_AUDIO_CHANNEL));
    port.name = std::string(lookup(props, PW_KEY_PORT_NAME));
    ports_[id] = std::move(port);
  } else if (type == PW_TYPE_INTERFACE_Client) {
    auto client = std::make_unique<GraphClient>();
    client->graph = this;
    client->id = id;
    client->props = props;
    // The global lacks application.process.id and the portal's app id; the info has them.
    if (auto* bound = bind<pw_client>(id, PW_TYPE_INTERFACE_Client, PW_VERSION_CLIENT)) {
      client->proxy.attach(bound, [&](pw_client* object, spa_hook* hook) {
        calls::addClientListener(object, hook, &Trampolines::kClientEvents, client.get());
      });
    }
    clients_[id] = std::move(client);
  } else if (type == PW_TYPE_INTERFACE_Device) {
    auto device = std::make_unique<GraphDevice>();
    device->graph = this;
    device->id = id;
    device->props = props;
    if (auto* bound = bind<pw_device>(id, PW_TYPE_INTERFACE_Device, PW_VERSION_DEVICE)) {
      device->proxy.attach(bound, [&](pw_device* object, spa_hook* hook) {
        calls::addDeviceListener(object, hook, &Trampolines::kDeviceEvents, device.get());
      });
      uint32_t params[] = {SPA_PARAM_Route};
      calls::subscribeDeviceParams(bound, params, 1);
    }
    devices_[id] = std::move(device);
  } else if (type == PW_TYPE_INTERFACE_Metadata) {
    if (lookup(props, PW_KEY_METADATA_NAME) != kDefaultMetadataName || metadataId_) return;
    pw_metadata* bound = nullptr;
    if (registry_) {
      bound = bind<pw_metadata>(id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA);
      if (!bound) return;
    }
    metadataId_ = id;
    metadataPermissions_ = permissions;
    ++metadataGeneration_;
    if (bound) {
      metadataProxy_.attach(bound, [&](pw_metadata* object, spa_hook* hook) {
        calls::addMetadataListener(object, hook, &Trampolines::kMetadataEvents, this);
      });
    }
  } else {
    return;
  }
  changed();
}

void Graph::removeGlobal(GlobalId id) {
  if (nodes_.erase(id)) {
    // The metadata drops a node's entries when the node goes, without an event to its readers
    // (measured); the id soon comes back for a new node (a chat app's next sound), which must
    // not seem to have them: the stream mover would take it for moved already.
    std::erase_if(metadata_, [id](const auto& entry) { return entry.first.first == id; });
    changed();
    return;
  }
  if (ports_.erase(id) || clients_.erase(id) || devices_.erase(id)) {
    changed();
    return;
  }
  if (metadataId_ == id) {
    // The session manager went away with its metadata; a new one brings a new object.
    metadataProxy_.reset();
    metadataId_.reset();
    metadata_.clear();
    changed();
  }
}

void Graph::updateNodeInfo(GlobalId id, const Dict& props, std::optional<pw_node_state> state) {
  auto it = nodes_.find(id);
  if (it == nodes_.end()) return;
  for (const auto& [key, value] : props) it->second->props.insert_or_assign(key, value);
  if (state) it->second->state = *state;
  changed();
}

void Graph::updateMetadata(GlobalId subject, const char* key, const char* type, const char* value) {
  if (!metadataId_) return;
  if (!key) {
    std::erase_if(metadata_, [subject](const auto& entry) { return entry.first.first == subject; });
  } else if (!value) {
    metadata_.erase({subject, key});
  } else {
    metadata_[{subject, key}] = MetadataValue{type ? type : "", value};
  }
  changed();
}

const GraphNode* Graph::node(GlobalId id) const {
  auto it = nodes_.find(id);
  return it == nodes_.end() ? nullptr : it->second.get();
}

const GraphNode* Graph::nodeByName(std::string_view name) const {
  for (const auto& [id, node] : nodes_)
    if (node->name() == name) return node.get();
  return nullptr;
}

const GraphClient* Graph::client(GlobalId id) const {
  auto it = clients_.find(id);
  return it == clients_.end() ? nullptr : it->second.get();
}

const GraphDevice* Graph::device(GlobalId id) const {
  auto it = devices_.find(id);
  return it == devices_.end() ? nullptr : it->second.get();
}

std::vector<const GraphPort*> Graph::portsOf(GlobalId nodeId) const {
  std::vector<const GraphPort*> ports;
  for (const auto& [id, port] : ports_)
    if (port.nodeId == nodeId) ports.push_back(&port);
  return ports;
}

const GraphPort* Graph::port(GlobalId id) const {
  auto it = ports_.find(id);
  return it == ports_.end() ? nullptr : &it->second;
}

std::optional<MetadataValue> Graph::metadata(GlobalId subject, std::string_view key) const {
  auto it = metadata_.find({subject, std::string(key)});
  if (it == metadata_.end()) return std::nullopt;
  return it->second;
}

bool Graph::setMetadata(GlobalId subject, const std::string& key,
                        const std::optional<MetadataValue>& value) {
  if (!metadataId_) return false;
  auto* metadata = metadataProxy_.get();
  if (value) {
    if (metadata)
      calls::setMetadata(metadata, subject.value, key.c_str(), value->type.c_str(),
                         value->value.c_str());
    metadata_[{subject, key}] = *value;
  } else {
    if (metadata) calls::setMetadata(metadata, subject.value, key.c_str(), nullptr, nullptr);
    metadata_.erase({subject, key});
  }
  return true;
}

bool Graph::setNodeVolume(GlobalId nodeId, const VolumeState& volume) {
  auto it = nodes_.find(nodeId);
  if (it == nodes_.end() || !it->second->proxy) return false;
  std::vector<uint8_t> buffer;
  const spa_pod* param = buildVolumeProps(volume, buffer);
  if (!param) return false;
  calls::setNodeParam(it->second->proxy.get(), SPA_PARAM_Props, param);
  if (volume.channelVolumes) it->second->volume.channelVolumes = volume.channelVolumes;
  if (volume.mute) it->second->volume.mute = volume.mute;
  return true;
}

bool Graph::setRouteVolume(GlobalId deviceId, const DeviceRoute& route, const VolumeState& volume,
                           GlobalId nodeId) {
  auto it = devices_.find(deviceId);
  if (it == devices_.end() || !it->second->proxy) return false;
  std::vector<uint8_t> buffer;
  const spa_pod* param = buildRouteVolume(route, volume, buffer);
  if (!param) return false;
  calls::setDeviceParam(it->second->proxy.get(), SPA_PARAM_Route, param);
  if (auto node = nodes_.find(nodeId); node != nodes_.end()) {
    if (volume.channelVolumes) node->second->volume.channelVolumes = volume.channelVolumes;
    if (volume.mute) node->second->volume.mute = volume.mute;
  }
  return true;
}

}  // namespace mixelot::hal::pipewire
