#pragma once

// PipeWire's method macros (pw_core_sync, pw_node_set_param, ...) cast their first argument with
// C casts that expand in our code, where -Wold-style-cast rejects them. These thin wrappers keep
// the casts in one place.

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>

namespace mixelot::hal::pipewire::calls {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"

inline int coreSync(pw_core* core, int seq) {
  return pw_core_sync(core, PW_ID_CORE, seq);
}

inline pw_registry* coreRegistry(pw_core* core) {
  return pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
}

inline int addCoreListener(pw_core* core, spa_hook* hook, const pw_core_events* events,
                           void* data) {
  return pw_core_add_listener(core, hook, events, data);
}

inline int addRegistryListener(pw_registry* registry, spa_hook* hook,
                               const pw_registry_events* events, void* data) {
  return pw_registry_add_listener(registry, hook, events, data);
}

inline int addNodeListener(pw_node* node, spa_hook* hook, const pw_node_events* events,
                           void* data) {
  return pw_node_add_listener(node, hook, events, data);
}

inline int subscribeNodeParams(pw_node* node, uint32_t* ids, uint32_t count) {
  return pw_node_subscribe_params(node, ids, count);
}

inline int setNodeParam(pw_node* node, uint32_t id, const spa_pod* param) {
  return pw_node_set_param(node, id, 0, param);
}

inline int addClientListener(pw_client* client, spa_hook* hook, const pw_client_events* events,
                             void* data) {
  return pw_client_add_listener(client, hook, events, data);
}

inline int addDeviceListener(pw_device* device, spa_hook* hook, const pw_device_events* events,
                             void* data) {
  return pw_device_add_listener(device, hook, events, data);
}

inline int subscribeDeviceParams(pw_device* device, uint32_t* ids, uint32_t count) {
  return pw_device_subscribe_params(device, ids, count);
}

inline int setDeviceParam(pw_device* device, uint32_t id, const spa_pod* param) {
  return pw_device_set_param(device, id, 0, param);
}

inline int addMetadataListener(pw_metadata* metadata, spa_hook* hook,
                               const pw_metadata_events* events, void* data) {
  return pw_metadata_add_listener(metadata, hook, events, data);
}

// A null type and value removes the key.
inline int setMetadata(pw_metadata* metadata, uint32_t subject, const char* key, const char* type,
                       const char* value) {
  return pw_metadata_set_property(metadata, subject, key, type, value);
}

#pragma GCC diagnostic pop

}  // namespace mixelot::hal::pipewire::calls
