#include "engine/hal/pipewire/ForwardFilter.h"

#include <spa/node/io.h>

namespace mixelot::hal::pipewire {
namespace {

pw_properties* portProperties(const char* prefix, const char* channel) {
  const std::string name = std::string(prefix) + channel;
  return pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio", PW_KEY_PORT_NAME,
                           name.c_str(), PW_KEY_AUDIO_CHANNEL, channel, nullptr);
}

}  // namespace

const pw_filter_events ForwardFilter::kEvents = {
    .version = PW_VERSION_FILTER_EVENTS,
    .state_changed = &ForwardFilter::onStateChanged,
    .process = &ForwardFilter::onProcess,
};

ForwardFilter::ForwardFilter(pw_core* core, const std::string& nodeName,
                             const std::string& description) {
  // No media class: the session manager leaves the node alone, no desktop mixer lists it, and we
  // link it ourselves. Not autoconnected for the same reason.
  pw_properties* props = pw_properties_new(
      PW_KEY_NODE_NAME, nodeName.c_str(), PW_KEY_NODE_DESCRIPTION, description.c_str(),
      PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Filter", PW_KEY_MEDIA_ROLE, "DSP",
      PW_KEY_NODE_AUTOCONNECT, "false", nullptr);
  filter_.reset(pw_filter_new(core, nodeName.c_str(), props));
  if (!filter_) {
    failed_ = true;
    return;
  }
  pw_filter_add_listener(filter_.get(), hook_.get(), &kEvents, this);
  hook_.guard();

  for (size_t c = 0; c < kChannels; ++c) {
    inputs_[c] =
        pw_filter_add_port(filter_.get(), PW_DIRECTION_INPUT, PW_FILTER_PORT_FLAG_MAP_BUFFERS,
                           sizeof(Port), portProperties("input_", kChannelNames[c]), nullptr, 0);
    outputs_[c] =
        pw_filter_add_port(filter_.get(), PW_DIRECTION_OUTPUT, PW_FILTER_PORT_FLAG_MAP_BUFFERS,
                           sizeof(Port), portProperties("output_", kChannelNames[c]), nullptr, 0);
    if (!inputs_[c] || !outputs_[c]) failed_ = true;
  }
  // The process callback runs on the data thread, in the same graph cycle as the device it
  // feeds: the chain adds no delay.
  if (failed_ || pw_filter_connect(filter_.get(), PW_FILTER_FLAG_RT_PROCESS, nullptr, 0) < 0)
    failed_ = true;
}

ForwardFilter::~ForwardFilter() {
  stop();
  hook_.remove();
  // pw_filter_destroy takes the node off the data thread before it returns; the cycle
  // (destroyed after this body) is no longer in use by then.
  filter_.reset();
}

std::optional<GlobalId> ForwardFilter::nodeId() const {
  if (!filter_) return std::nullopt;
  const uint32_t id = pw_filter_get_node_id(filter_.get());
  if (id == SPA_ID_INVALID) return std::nullopt;
  return GlobalId{id};
}

void ForwardFilter::onStateChanged(void* data, pw_filter_state, pw_filter_state state,
                                   const char*) {
  if (state == PW_FILTER_STATE_ERROR) static_cast<ForwardFilter*>(data)->failed_ = true;
}

void ForwardFilter::onProcess(void* data, spa_io_position* position) {
  const uint32_t frames = position ? static_cast<uint32_t>(position->clock.duration) : 0;
  static_cast<ForwardFilter*>(data)->process(frames);
}

void ForwardFilter::process(uint32_t frames) noexcept {
  ForwardCycle::Inputs in{};
  ForwardCycle::Outputs out{};
  for (size_t c = 0; c < kChannels; ++c) {
    in[c] = static_cast<const float*>(pw_filter_get_dsp_buffer(inputs_[c], frames));
    out[c] = static_cast<float*>(pw_filter_get_dsp_buffer(outputs_[c], frames));
  }
  cycle_.process(in, out, frames);
}

}  // namespace mixelot::hal::pipewire
