#pragma once

// Builds a Graph in memory, as the registry would report it, for the backend's parts to be tested
// without a daemon. A sink's ports get ids `nodeId * 100 + k`; a node's serial is 1000 + its id
// unless given.

#include <sys/types.h>

#include <string>
#include <vector>

#include "engine/hal/pipewire/Graph.h"

namespace mixelot::hal::pipewire {

// A global id written as the daemon would hand it out: `40_id`.
constexpr GlobalId operator""_id(unsigned long long value) {
  return GlobalId{static_cast<uint32_t>(value)};
}

namespace fake {

inline std::string serialOf(GlobalId id, uint64_t serial) {
  return std::to_string(serial ? serial : 1000 + id.value);
}

// An Audio/Sink with, per channel, a playback port and a monitor port.
inline void addSink(Graph& graph, GlobalId id, const std::string& name,
                    const std::vector<std::string>& channels = {"FL", "FR"}, uint64_t serial = 0) {
  graph.addGlobal(id, PW_TYPE_INTERFACE_Node, PW_PERM_RWXM,
                  {{PW_KEY_NODE_NAME, name},
                   {PW_KEY_MEDIA_CLASS, "Audio/Sink"},
                   {PW_KEY_OBJECT_SERIAL, serialOf(id, serial)}});
  uint32_t port = id.value * 100;
  for (const auto& channel : channels) {
    for (bool monitor : {false, true}) {
      graph.addGlobal(GlobalId{++port}, PW_TYPE_INTERFACE_Port, PW_PERM_RWXM,
                      {{PW_KEY_NODE_ID, std::to_string(id.value)},
                       {PW_KEY_PORT_DIRECTION, monitor ? "out" : "in"},
                       {PW_KEY_PORT_MONITOR, monitor ? "true" : "false"},
                       {PW_KEY_AUDIO_CHANNEL, channel},
                       {PW_KEY_PORT_NAME, (monitor ? "monitor_" : "playback_") + channel}});
    }
  }
}

// A client as its bound info describes it: the PID the daemon read off its socket.
inline void addClient(Graph& graph, GlobalId id, pid_t pid, Dict props = {}) {
  props.insert_or_assign(PW_KEY_SEC_PID, std::to_string(pid));
  props.insert_or_assign(PW_KEY_APP_PROCESS_ID, std::to_string(pid));
  graph.addGlobal(id, PW_TYPE_INTERFACE_Client, PW_PERM_RWXM, props);
}

// An application's output stream, owned by client `clientId`.
inline void addStream(Graph& graph, GlobalId id, GlobalId clientId, uint64_t serial = 0,
                      Dict props = {}) {
  props.try_emplace(PW_KEY_NODE_NAME, "app.stream." + std::to_string(id.value));
  props.insert_or_assign(PW_KEY_MEDIA_CLASS, "Stream/Output/Audio");
  props.insert_or_assign(PW_KEY_CLIENT_ID, std::to_string(clientId.value));
  props.insert_or_assign(PW_KEY_OBJECT_SERIAL, serialOf(id, serial));
  graph.addGlobal(id, PW_TYPE_INTERFACE_Node, PW_PERM_RWXM, props);
}

// The session manager's "default" metadata.
inline void addDefaultMetadata(Graph& graph, GlobalId id = GlobalId{3},
                               uint32_t permissions = PW_PERM_RWXM) {
  graph.addGlobal(id, PW_TYPE_INTERFACE_Metadata, permissions, {{PW_KEY_METADATA_NAME, "default"}});
}

}  // namespace fake
}  // namespace mixelot::hal::pipewire
