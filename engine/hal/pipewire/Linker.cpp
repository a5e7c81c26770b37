#include "engine/hal/pipewire/Linker.h"

#include <unistd.h>

#include <algorithm>
#include <string>

#include "engine/hal/pipewire/ForwardFilter.h"
#include "engine/hal/pipewire/StreamMover.h"

namespace mixelot::hal::pipewire {
namespace {

// "Audio/Sink" exactly: the PulseAudio server (pipewire-pulse) answers a client's request for a
// new stream only once the stream is linked to a node of that class (or Audio/Duplex), so a new
// stream the session manager links straight to a sink of any other class never starts: its app
// waits forever (a chat app's sound thread hangs on its next notification sound). The class also
// makes the session manager and the desktop's sound settings count it as a device; the lowest
// session priority keeps it from ever being picked as the default while a real device exists.
constexpr const char* kTapSinkMediaClass = "Audio/Sink";
// Below every real device's, and below the -1 a device without any priority counts as.
constexpr const char* kTapSinkSessionPriority = "-1000000";
constexpr int kMaxLinkAttempts = 3;

const GraphPort* findPort(const std::vector<const GraphPort*>& ports, bool isOutput,
                          std::string_view name) {
  for (const GraphPort* port : ports)
    if (port->isOutput == isOutput && port->name == name) return port;
  return nullptr;
}

const GraphPort* monitorPort(const std::vector<const GraphPort*>& ports, std::string_view channel) {
  for (const GraphPort* port : ports)
    if (port->isOutput && (port->isMonitor || port->name.starts_with("monitor_")) &&
        port->channel == channel)
      return port;
  return nullptr;
}

// The device's input port for a channel of our stereo output: the same channel, else a mono
// input (both channels then sum into it), else the first or second input by position.
const GraphPort* devicePort(const std::vector<const GraphPort*>& ports, size_t channel) {
  std::vector<const GraphPort*> inputs;
  for (const GraphPort* port : ports)
    if (!port->isOutput) inputs.push_back(port);
  for (const GraphPort* port : inputs)
    if (port->channel == ForwardFilter::kChannelNames[channel]) return port;
  for (const GraphPort* port : inputs)
    if (port->channel == "MONO") return port;
  if (inputs.empty()) return nullptr;
  std::sort(inputs.begin(), inputs.end(),
            [](const GraphPort* a, const GraphPort* b) { return a->id < b->id; });
  return inputs[std::min(channel, inputs.size() - 1)];
}

}  // namespace

struct Linker::ProxyEvents {
  static void sinkBound(void* data, uint32_t id) {
    auto* sink = static_cast<TapSink*>(data);
    sink->nodeId = GlobalId{id};
    sink->owner->onChanged_();
  }
  static void sinkGone(void* data) {
    auto* sink = static_cast<TapSink*>(data);
    sink->failed = true;
    sink->nodeId.reset();
    sink->owner->onChanged_();
  }
  static void sinkError(void* data, int, int, const char*) { sinkGone(data); }
  static constexpr pw_proxy_events kSinkEvents = {
      .version = PW_VERSION_PROXY_EVENTS,
      .bound = sinkBound,
      .removed = sinkGone,
      .error = sinkError,
  };

  static void linkBound(void* data, uint32_t) {
    auto* link = static_cast<Link*>(data);
    link->bound = true;
    link->owner->onChanged_();
  }
  static void linkGone(void* data) {
    auto* link = static_cast<Link*>(data);
    link->failed = true;
    link->owner->onChanged_();
  }
  static void linkError(void* data, int, int, const char*) { linkGone(data); }
  static constexpr pw_proxy_events kLinkEvents = {
      .version = PW_VERSION_PROXY_EVENTS,
      .bound = linkBound,
      .removed = linkGone,
      .error = linkError,
  };
};

bool Linker::Links::areUp() const {
  if (made.empty()) return false;
  for (const auto& link : made)
    if (!link->bound || link->failed) return false;
  return true;
}

Linker::Linker(Graph& graph, PipeWireConnection& connection, std::function<void()> onChanged)
    : graph_(graph),
      connection_(connection),
      onChanged_(std::move(onChanged)),
      ownPid_(::getpid()) {}

// ---- tap sinks -------------------------------------------------------------------------------

bool Linker::isCurrent(const TapSink& sink) const {
  return connection_.isConnected() && sink.generation == connection_.generation() && !sink.failed;
}

bool Linker::createSinkNode(TapSink& sink) {
  sink.proxy.reset();
  sink.nodeId.reset();
  sink.failed = false;
  sink.managerGeneration = graph_.metadataGeneration();
  // A new name each time: a stream left naming an old one (after a crash of ours) must never
  // find a node of that name again.
  sink.name = std::string(StreamMover::kTapSinkPrefix) + std::to_string(ownPid_) + "." +
              std::to_string(++sinkCounter_);
  // Owned by our client (object.linger=false), so it goes when we do, whichever way we end. A
  // zero suspend timeout: WirePlumber 0.4.13 crashes when a node it is about to suspend (5 s
  // after it went idle) is destroyed first, and ours come and go with the apps. The lowest
  // driver priority, so a real device in the same graph keeps the clock. "device.routes": the
  // session manager (WirePlumber 0.4) saves the volume of every Audio node without routes under
  // its node.name, and ours are unique per run, so its state file would grow by a few lines for
  // every sink we ever made; a node that has routes is left to its device, so it saves nothing.
  PropertiesHandle props(pw_properties_new(
      PW_KEY_FACTORY_NAME, "support.null-audio-sink", PW_KEY_NODE_NAME, sink.name.c_str(),
      PW_KEY_NODE_DESCRIPTION, "Mixelot tap", PW_KEY_MEDIA_CLASS, kTapSinkMediaClass,
      "audio.position", "[ FL FR ]", PW_KEY_OBJECT_LINGER, "false",
      "session.suspend-timeout-seconds", "0", "monitor.channel-volumes", "false",
      PW_KEY_NODE_VIRTUAL, "true", PW_KEY_PRIORITY_DRIVER, "0", PW_KEY_PRIORITY_SESSION,
      kTapSinkSessionPriority, "device.routes", "1", nullptr));
  auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(
      connection_.core(), "adapter", PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, &props->dict, 0));
  if (!proxy) {
    sink.failed = true;
    return false;
  }
  sink.proxy.attach(proxy, [&](pw_proxy* object, spa_hook* hook) {
    pw_proxy_add_listener(object, hook, &ProxyEvents::kSinkEvents, &sink);
  });
  return true;
}

std::shared_ptr<TapSink> Linker::makeSink(std::string tapName, std::vector<ProcessKey> processes) {
  auto sink = std::make_shared<TapSink>();
  sink->owner = this;
  sink->generation = connection_.generation();
  sink->tapName = std::move(tapName);
  sink->processes = std::move(processes);
  if (!createSinkNode(*sink)) return nullptr;
  // The daemon reports a refused creation before it answers the sync.
  connection_.roundtrip();
  if (sink->failed || !connection_.isConnected() || connection_.isLost()) return nullptr;
  return sink;
}

void Linker::reconcileSinks(const std::set<TapSink*>& sinks) {
  // A session manager takes over the nodes it finds when it starts; WirePlumber 0.4.13 never
  // finishes that for a sink that has played before, and then links nothing for anyone. So our
  // sinks live with the session manager that saw them made: when it goes (its "default" metadata
  // goes with it) they go, and the next one gets new ones. The streams follow the new names.
  for (TapSink* sink : sinks) {
    if (sink->generation != connection_.generation() || sink->failed) continue;
    if (!graph_.hasDefaultMetadata()) {
      sink->proxy.reset();
      sink->nodeId.reset();
    } else if (!sink->proxy || sink->managerGeneration != graph_.metadataGeneration()) {
      createSinkNode(*sink);
    }
  }
}

// ---- links -----------------------------------------------------------------------------------

std::vector<Linker::PortPair> Linker::planLinks(const Graph& graph, std::string_view sinkName,
                                                std::optional<GlobalId> filterNode,
                                                std::string_view deviceName) {
  // A device that went away (unplugged) leaves the chain unlinked, and so not read: its streams
  // go back to their normal output until it returns.
  const GraphNode* sinkNode = graph.nodeByName(sinkName);
  const GraphNode* deviceNode = graph.nodeByName(deviceName);
  if (!filterNode || !sinkNode || !deviceNode || !deviceNode->isOutputDevice()) return {};
  const auto sinkPorts = graph.portsOf(sinkNode->id);
  const auto filterPorts = graph.portsOf(*filterNode);
  const auto devicePorts = graph.portsOf(deviceNode->id);
  std::vector<PortPair> wanted;
  for (size_t c = 0; c < ForwardFilter::kChannels; ++c) {
    const std::string channel = ForwardFilter::kChannelNames[c];
    const GraphPort* monitor = monitorPort(sinkPorts, channel);
    const GraphPort* input = findPort(filterPorts, false, "input_" + channel);
    const GraphPort* output = findPort(filterPorts, true, "output_" + channel);
    const GraphPort* playback = devicePort(devicePorts, c);
    if (!monitor || !input || !output || !playback) return {};
    wanted.emplace_back(monitor->id, input->id);
    wanted.emplace_back(output->id, playback->id);
  }
  return wanted;
}

void Linker::reconcileLinks(Links& links, const TapSink& sink, const ForwardFilter* filter,
                            std::string_view deviceName) {
  if (!filter || filter->failed()) {
    links.made.clear();
    return;
  }
  const std::vector<PortPair> wanted = planLinks(graph_, sink.name, filter->nodeId(), deviceName);
  std::vector<PortPair> existing;
  bool anyFailed = false;
  for (const auto& link : links.made) {
    existing.emplace_back(link->outputPort, link->inputPort);
    anyFailed = anyFailed || link->failed;
  }
  if (existing != wanted)
    links.attempts = 0;
  else if (!anyFailed)
    return;
  links.made.clear();
  if (wanted.empty() || links.attempts >= kMaxLinkAttempts) return;
  ++links.attempts;

  for (const auto& [outputPort, inputPort] : wanted) {
    const GraphPort* out = graph_.port(outputPort);
    const GraphPort* in = graph_.port(inputPort);
    const std::string outNode = std::to_string(out->nodeId.value),
                      outPortId = std::to_string(out->id.value);
    const std::string inNode = std::to_string(in->nodeId.value),
                      inPortId = std::to_string(in->id.value);
    // Passive: our links never keep the graph (and the device) running by themselves, so an
    // idle chain costs nothing; the app's own link to the tap sink is what drives it. Not
    // lingering: they go with our connection.
    PropertiesHandle props(pw_properties_new(
        PW_KEY_LINK_OUTPUT_NODE, outNode.c_str(), PW_KEY_LINK_OUTPUT_PORT, outPortId.c_str(),
        PW_KEY_LINK_INPUT_NODE, inNode.c_str(), PW_KEY_LINK_INPUT_PORT, inPortId.c_str(),
        PW_KEY_OBJECT_LINGER, "false", PW_KEY_LINK_PASSIVE, "true", nullptr));
    auto link = std::make_unique<Link>();
    link->owner = this;
    link->outputPort = outputPort;
    link->inputPort = inputPort;
    auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(connection_.core(), "link-factory",
                                                               PW_TYPE_INTERFACE_Link,
                                                               PW_VERSION_LINK, &props->dict, 0));
    if (!proxy) {
      link->failed = true;
    } else {
      link->proxy.attach(proxy, [&](pw_proxy* object, spa_hook* hook) {
        pw_proxy_add_listener(object, hook, &ProxyEvents::kLinkEvents, link.get());
      });
    }
    links.made.push_back(std::move(link));
  }
}

}  // namespace mixelot::hal::pipewire
