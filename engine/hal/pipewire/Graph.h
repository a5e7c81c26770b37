#pragma once

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/hal/pipewire/Dict.h"
#include "engine/hal/pipewire/GlobalId.h"
#include "engine/hal/pipewire/ProxyListener.h"
#include "engine/hal/pipewire/Serial.h"
#include "engine/hal/pipewire/VolumeParams.h"

namespace mixelot::hal::pipewire {

class Graph;

// The parts of the PipeWire graph the backend works from, mirrored from the registry and from the
// objects it binds (output streams, sinks, clients, devices, the "default" metadata). Runs on the
// thread that iterates the PipeWire loop, which is our main thread; it calls `onChanged` after
// every event and never calls anything else, so no event ever reaches the model directly.

struct GraphPort {
  GlobalId id;
  GlobalId nodeId;
  bool isOutput = false;
  bool isMonitor = false;
  std::string channel;  // audio.channel: FL, FR, MONO, ...
  std::string name;     // port.name: playback_FL, monitor_FL, ...
};

struct GraphClient {
  Graph* graph = nullptr;
  GlobalId id;
  Dict props;
  ProxyListener<pw_client> proxy;
};

struct GraphDevice {
  Graph* graph = nullptr;
  GlobalId id;
  Dict props;
  std::vector<DeviceRoute> routes;  // the active routes (SPA_PARAM_Route)
  ProxyListener<pw_device> proxy;
};

struct GraphNode {
  Graph* graph = nullptr;
  GlobalId id;
  Serial serial;
  Dict props;  // the global's, then the full set from the bound node's info
  pw_node_state state = PW_NODE_STATE_CREATING;
  VolumeState volume;  // from the node's Props (sinks only)
  ProxyListener<pw_node> proxy;

  std::string_view mediaClass() const { return lookup(props, PW_KEY_MEDIA_CLASS); }
  std::string_view name() const { return lookup(props, PW_KEY_NODE_NAME); }
  std::optional<GlobalId> clientId() const;
  std::optional<GlobalId> deviceId() const;
  bool isOutputStream() const { return mediaClass() == "Stream/Output/Audio"; }
  // A place an application can play to: what the desktop lists as an output device.
  bool isOutputDevice() const {
    return mediaClass() == "Audio/Sink" || mediaClass() == "Audio/Duplex";
  }
};

struct MetadataValue {
  std::string type;
  std::string value;
  friend bool operator==(const MetadataValue&, const MetadataValue&) = default;
};

class Graph {
 public:
  using NodeMap = std::map<GlobalId, std::unique_ptr<GraphNode>>;
  using ClientMap = std::map<GlobalId, std::unique_ptr<GraphClient>>;
  using MetadataKey = std::pair<GlobalId, std::string>;

  explicit Graph(std::function<void()> onChanged);
  ~Graph();
  Graph(const Graph&) = delete;
  Graph& operator=(const Graph&) = delete;

  // Starts mirroring the registry of `core`.
  void attach(pw_core* core);
  // Releases every proxy and forgets everything; must run before the core is disconnected.
  void detach();

  // What the registry and the objects we bind report; the trampolines call these. With no
  // registry attached (a unit test) nothing is bound: the records are kept as they come.
  void addGlobal(GlobalId id, std::string_view type, uint32_t permissions, const Dict& props);
  void removeGlobal(GlobalId id);
  // A node's info: its full properties (merged into the global's) and, when it changed, its state.
  void updateNodeInfo(GlobalId id, const Dict& props, std::optional<pw_node_state> state = {});
  // An entry of the "default" metadata set (a value), removed (no value) or, with no key, every
  // entry of `subject` removed.
  void updateMetadata(GlobalId subject, const char* key, const char* type, const char* value);

  const NodeMap& nodes() const { return nodes_; }
  const ClientMap& clients() const { return clients_; }
  const GraphNode* node(GlobalId id) const;
  const GraphNode* nodeByName(std::string_view name) const;
  const GraphClient* client(GlobalId id) const;
  const GraphDevice* device(GlobalId id) const;
  std::vector<const GraphPort*> portsOf(GlobalId nodeId) const;
  const GraphPort* port(GlobalId id) const;

  // The "default" metadata, as the session manager keeps it.
  bool hasDefaultMetadata() const { return metadataId_.has_value(); }
  // Counts the "default" metadata objects seen: a new one means a new session manager.
  uint64_t metadataGeneration() const { return metadataGeneration_; }
  // What the session manager lets us do with it (PW_PERM_* bits): moving a stream writes it.
  uint32_t metadataPermissions() const { return metadataPermissions_; }
  std::optional<MetadataValue> metadata(GlobalId subject, std::string_view key) const;
  const std::map<MetadataKey, MetadataValue>& metadataEntries() const { return metadata_; }
  // Writes (or, with nullopt, removes) an entry; the mirror holds the new value at once, so the
  // next look does not take our own write for someone else's (unbound, only the mirror changes).
  // False without the metadata.
  bool setMetadata(GlobalId subject, const std::string& key,
                   const std::optional<MetadataValue>& value);

  // Sets a bound node's Props (channel volumes and/or mute); the mirror holds them at once.
  bool setNodeVolume(GlobalId nodeId, const VolumeState& volume);
  // Sets the volume of a device's route and saves it there; the mirror of `nodeId`, the node
  // playing through that route, holds it at once.
  bool setRouteVolume(GlobalId deviceId, const DeviceRoute& route, const VolumeState& volume,
                      GlobalId nodeId);

 private:
  struct Trampolines;

  // Binds global `id` when a registry is attached; null otherwise.
  template <typename T>
  T* bind(GlobalId id, const char* type, uint32_t version);
  void changed() { onChanged_(); }

  std::function<void()> onChanged_;
  ProxyListener<pw_registry> registry_;

  NodeMap nodes_;
  ClientMap clients_;
  std::map<GlobalId, std::unique_ptr<GraphDevice>> devices_;
  std::map<GlobalId, GraphPort> ports_;

  std::optional<GlobalId> metadataId_;
  uint64_t metadataGeneration_ = 0;
  uint32_t metadataPermissions_ = 0;
  ProxyListener<pw_metadata> metadataProxy_;
  std::map<MetadataKey, MetadataValue> metadata_;
};

}  // namespace mixelot::hal::pipewire
