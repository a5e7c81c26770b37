#include "engine/hal/pipewire/VolumeParams.h"

#include <spa/param/param.h>
#include <spa/param/props.h>
#include <spa/param/route.h>
#include <spa/pod/builder.h>
#include <spa/pod/iter.h>
#include <spa/utils/type.h>

#include <algorithm>
#include <cmath>

namespace mixelot::hal::pipewire {
namespace {

// SPA_AUDIO_MAX_CHANNELS: no node has more channels than this.
constexpr uint32_t kMaxChannels = 64;

bool readVolumeProperty(const spa_pod_prop* prop, VolumeState& state) {
  switch (prop->key) {
    case SPA_PROP_channelVolumes: {
      if (!spa_pod_is_array(&prop->value) ||
          SPA_POD_ARRAY_VALUE_TYPE(&prop->value) != SPA_TYPE_Float)
        return false;
      float values[kMaxChannels];
      const uint32_t count = spa_pod_copy_array(&prop->value, SPA_TYPE_Float, values, kMaxChannels);
      state.channelVolumes = std::vector<float>(values, values + count);
      return true;
    }
    case SPA_PROP_mute: {
      bool mute = false;
      if (spa_pod_get_bool(&prop->value, &mute) < 0) return false;
      state.mute = mute;
      return true;
    }
    default:
      return false;
  }
}

void addVolumeProps(spa_pod_builder& builder, const VolumeState& volume) {
  spa_pod_frame frame;
  spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_Props, SPA_PARAM_Props);
  if (volume.channelVolumes) {
    spa_pod_builder_prop(&builder, SPA_PROP_channelVolumes, 0);
    spa_pod_builder_array(&builder, sizeof(float), SPA_TYPE_Float,
                          static_cast<uint32_t>(volume.channelVolumes->size()),
                          volume.channelVolumes->data());
  }
  if (volume.mute) {
    spa_pod_builder_prop(&builder, SPA_PROP_mute, 0);
    spa_pod_builder_bool(&builder, *volume.mute);
  }
  spa_pod_builder_pop(&builder, &frame);
}

const spa_pod* finish(spa_pod_builder& builder, std::vector<uint8_t>& buffer) {
  // An overflow leaves the builder's state short of the content; the caller then has nothing.
  if (builder.state.offset > buffer.size()) return nullptr;
  return static_cast<const spa_pod*>(static_cast<const void*>(buffer.data()));
}

}  // namespace

float cubicFromLinear(float linear) {
  return std::cbrt(std::max(linear, 0.0f));
}

float linearFromCubic(float cubic) {
  const float clamped = std::max(cubic, 0.0f);
  return clamped * clamped * clamped;
}

std::optional<VolumeState> parseVolumeProps(const spa_pod* param) {
  if (!param || !spa_pod_is_object_type(param, SPA_TYPE_OBJECT_Props)) return std::nullopt;
  VolumeState state;
  const auto* object = reinterpret_cast<const spa_pod_object*>(param);
  const spa_pod_prop* prop;
  SPA_POD_OBJECT_FOREACH(object, prop) {
    readVolumeProperty(prop, state);
  }
  return state;
}

std::optional<DeviceRoute> parseRoute(const spa_pod* param) {
  if (!param || !spa_pod_is_object_type(param, SPA_TYPE_OBJECT_ParamRoute)) return std::nullopt;
  DeviceRoute route;
  const auto* object = reinterpret_cast<const spa_pod_object*>(param);
  const spa_pod_prop* prop;
  SPA_POD_OBJECT_FOREACH(object, prop) {
    switch (prop->key) {
      case SPA_PARAM_ROUTE_index:
        spa_pod_get_int(&prop->value, &route.index);
        break;
      case SPA_PARAM_ROUTE_device:
        spa_pod_get_int(&prop->value, &route.device);
        break;
      case SPA_PARAM_ROUTE_direction: {
        uint32_t direction = 0;
        if (spa_pod_get_id(&prop->value, &direction) >= 0)
          route.isOutput = direction == SPA_DIRECTION_OUTPUT;
        break;
      }
      case SPA_PARAM_ROUTE_props: {
        if (auto volume = parseVolumeProps(&prop->value)) route.volume = *volume;
        break;
      }
      default:
        break;
    }
  }
  if (route.index < 0 || route.device < 0) return std::nullopt;
  return route;
}

const spa_pod* buildVolumeProps(const VolumeState& volume, std::vector<uint8_t>& buffer) {
  buffer.assign(1024 + kMaxChannels * sizeof(float), 0);
  spa_pod_builder builder =
      SPA_POD_BUILDER_INIT(buffer.data(), static_cast<uint32_t>(buffer.size()));
  addVolumeProps(builder, volume);
  return finish(builder, buffer);
}

const spa_pod* buildRouteVolume(const DeviceRoute& route, const VolumeState& volume,
                                std::vector<uint8_t>& buffer) {
  buffer.assign(1024 + kMaxChannels * sizeof(float), 0);
  spa_pod_builder builder =
      SPA_POD_BUILDER_INIT(buffer.data(), static_cast<uint32_t>(buffer.size()));
  spa_pod_frame frame;
  spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_ParamRoute, SPA_PARAM_Route);
  spa_pod_builder_prop(&builder, SPA_PARAM_ROUTE_index, 0);
  spa_pod_builder_int(&builder, route.index);
  spa_pod_builder_prop(&builder, SPA_PARAM_ROUTE_device, 0);
  spa_pod_builder_int(&builder, route.device);
  spa_pod_builder_prop(&builder, SPA_PARAM_ROUTE_props, 0);
  addVolumeProps(builder, volume);
  // Saved, as the desktop's own mixer does, so the device keeps the level on that port.
  spa_pod_builder_prop(&builder, SPA_PARAM_ROUTE_save, 0);
  spa_pod_builder_bool(&builder, true);
  spa_pod_builder_pop(&builder, &frame);
  return finish(builder, buffer);
}

}  // namespace mixelot::hal::pipewire
