// Taps, aggregate devices and their I/O procedures, and the work that keeps the graph in line
// with them: linking each aggregate's filter, and moving the tapped streams while a tap is read.

#include <algorithm>
#include <set>

#include "engine/hal/pipewire/PipeWireAudioHardware.h"
#include "engine/hal/pipewire/PipeWireObjects.h"
#include "engine/hal/pipewire/PwCalls.h"
#include "engine/hal/pipewire/StreamPid.h"

namespace mixelot::hal::pipewire {
namespace {

// Not "Audio/Sink": the session manager picks its default device among nodes of exactly that
// class, and the desktop's sound settings list them, so a private sink of ours would show up
// there and could even become the default. It still is a sink to the session manager's linking
// policy (an Audio class with "Sink" in it), which is all a stream move needs.
constexpr const char* kTapSinkMediaClass = "Audio/Sink/Internal";
constexpr std::string_view kForwardPrefix = "mixelot.forward.";
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

struct PipeWireAudioHardware::ProxyEvents {
  static void sinkBound(void* data, uint32_t id) {
    auto* sink = static_cast<TapSink*>(data);
    sink->nodeId = id;
    sink->owner->dirty_ = true;
  }
  static void sinkGone(void* data) {
    auto* sink = static_cast<TapSink*>(data);
    sink->failed = true;
    sink->nodeId.reset();
    sink->owner->dirty_ = true;
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
    link->owner->dirty_ = true;
  }
  static void linkGone(void* data) {
    auto* link = static_cast<Link*>(data);
    link->failed = true;
    link->owner->dirty_ = true;
  }
  static void linkError(void* data, int, int, const char*) { linkGone(data); }
  static constexpr pw_proxy_events kLinkEvents = {
      .version = PW_VERSION_PROXY_EVENTS,
      .bound = linkBound,
      .removed = linkGone,
      .error = linkError,
  };
};

bool PipeWireAudioHardware::isCurrent(const TapSink& sink) const {
  return connection_.isConnected() && sink.generation == connection_.generation() && !sink.failed;
}

PipeWireAudioHardware::Aggregate* PipeWireAudioHardware::findAggregate(ObjectID device) {
  auto it = aggregates_.find(device);
  return it == aggregates_.end() ? nullptr : it->second.get();
}

// ---- taps ------------------------------------------------------------------------------------

bool PipeWireAudioHardware::createSinkNode(TapSink& sink) {
  sink.proxy.reset();
  sink.nodeId.reset();
  sink.failed = false;
  sink.managerGeneration = graph_.metadataGeneration();
  // A new name each time: a stream left naming an old one (after a crash of ours) must never
  // find a node of that name again.
  sink.name =
      std::string(kTapSinkPrefix) + std::to_string(ownPid_) + "." + std::to_string(++nodeCounter_);
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
      PW_KEY_NODE_VIRTUAL, "true", PW_KEY_PRIORITY_DRIVER, "0", PW_KEY_PRIORITY_SESSION, "0",
      "device.routes", "1", nullptr));
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

std::shared_ptr<PipeWireAudioHardware::TapSink> PipeWireAudioHardware::makeSink(
    std::vector<pid_t> pids) {
  auto sink = std::make_shared<TapSink>();
  sink->owner = this;
  sink->generation = connection_.generation();
  sink->pids = std::move(pids);
  if (!createSinkNode(*sink)) return nullptr;
  // The daemon reports a refused creation (a sandbox without the right, a missing factory)
  // before it answers the sync.
  connection_.roundtrip();
  if (sink->failed || !connection_.isConnected() || connection_.isLost()) return nullptr;
  return sink;
}

void PipeWireAudioHardware::reconcileSinks() {
  // A session manager takes over the nodes it finds when it starts; WirePlumber 0.4.13 never
  // finishes that for a sink that has played before, and then links nothing for anyone. So our
  // sinks live with the session manager that saw them made: when it goes (its "default" metadata
  // goes with it) they go, and the next one gets new ones. The streams follow the new names.
  std::set<TapSink*> sinks;
  for (const auto& [id, tap] : taps_) sinks.insert(tap->sink.get());
  for (const auto& [id, aggregate] : aggregates_) sinks.insert(aggregate->sink.get());
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

Status PipeWireAudioHardware::createProcessTap(const TapDescription& description,
                                               ObjectID& outTap) {
  if (!connection_.isConnected()) return status::kNotRunning;
  std::vector<pid_t> pids = pidsOf(description.processes);
  if (pids.empty()) return status::kBadObject;

  std::shared_ptr<TapSink> sink;
  for (const auto& [id, tap] : taps_)
    if (tap->sink->pids == pids && isCurrent(*tap->sink)) sink = tap->sink;
  if (!sink) sink = makeSink(pids);
  if (!sink) {
    if (connection_.isLost()) connection_.handleLoss();
    return status::kUnspecified;
  }

  auto tap = std::make_unique<Tap>();
  tap->id = view_.newObjectID();
  tap->description = description;
  tap->sink = std::move(sink);
  outTap = tap->id;
  taps_[tap->id] = std::move(tap);
  update();
  return kNoError;
}

std::vector<pid_t> PipeWireAudioHardware::pidsOf(const std::vector<ObjectID>& processes) const {
  std::vector<pid_t> pids;
  for (ObjectID process : processes)
    if (auto pid = view_.processPid(process)) pids.push_back(*pid);
  std::sort(pids.begin(), pids.end());
  pids.erase(std::unique(pids.begin(), pids.end()), pids.end());
  return pids;
}

Status PipeWireAudioHardware::setTapProcesses(Tap& tap, const std::vector<ObjectID>& processes) {
  if (!connection_.isConnected()) return status::kNotRunning;
  std::vector<pid_t> pids = pidsOf(processes);
  if (pids.empty()) return status::kBadObject;
  tap.description.processes = processes;
  std::shared_ptr<TapSink> sink = tap.sink;
  if (sink->pids == pids) {
    // Another tap sharing this sink was given the list first; only the description was behind.
    publish();
    return kNoError;
  }

  // The sink changes its processes in place, for every tap that shares it (the app's chains on
  // other devices, which are about to be given the same list): nothing is relinked, the streams
  // of added processes join the sink at once (it is being read), and those of removed processes
  // go back to their own output as soon as nobody reads a sink of theirs.
  std::shared_ptr<TapSink> other;
  for (const auto& [id, candidate] : taps_)
    if (candidate->sink != sink && candidate->sink->pids == pids && isCurrent(*candidate->sink))
      other = candidate->sink;
  if (!other) {
    sink->pids = std::move(pids);
    update();
    return kNoError;
  }
  // A sink of the new list exists already (a chain built with it while this one had the old
  // list): two sinks of the same processes would split their streams, which can sit on one sink
  // only. Everything on this sink joins that one. The old sink is held until the streams have
  // been pointed away from it, so that none falls back to its normal output meanwhile.
  for (auto& [id, candidate] : taps_)
    if (candidate->sink == sink) candidate->sink = other;
  for (auto& [id, aggregate] : aggregates_)
    if (aggregate->sink == sink) aggregate->sink = other;
  update();
  return kNoError;
}

Status PipeWireAudioHardware::destroyProcessTap(ObjectID tapID) {
  auto it = taps_.find(tapID);
  if (it == taps_.end()) return status::kBadObject;
  std::unique_ptr<Tap> tap = std::move(it->second);
  taps_.erase(it);
  // Streams go back before the sink (if this was its last user) is destroyed with the record.
  update();
  return kNoError;
}

// ---- aggregate devices -----------------------------------------------------------------------

Status PipeWireAudioHardware::createAggregateDevice(const AggregateDescription& description,
                                                    ObjectID& outDevice) {
  if (!connection_.isConnected()) return status::kNotRunning;
  if (description.taps.empty() || description.subdevices.empty()) return status::kIllegalOperation;
  std::shared_ptr<TapSink> sink;
  for (const auto& [id, tap] : taps_)
    if (tap->description.uuid == description.taps.front().uid) sink = tap->sink;
  if (!sink || !isCurrent(*sink)) return status::kBadObject;
  const std::string& deviceName = description.subdevices.front().uid;
  const GraphNode* target = graph_.nodeByName(deviceName);
  if (!target || !target->isOutputDevice()) return status::kBadDevice;

  auto aggregate = std::make_unique<Aggregate>();
  aggregate->id = view_.newObjectID();
  aggregate->generation = connection_.generation();
  aggregate->description = description;
  aggregate->deviceName = deviceName;
  aggregate->sink = std::move(sink);
  const std::string filterName =
      std::string(kForwardPrefix) + std::to_string(ownPid_) + "." + std::to_string(++nodeCounter_);
  aggregate->filter =
      std::make_unique<ForwardFilter>(connection_.core(), filterName, description.name);
  if (aggregate->filter->failed()) return status::kUnspecified;
  connection_.roundtrip();
  if (connection_.isLost()) {
    // The filter is not among our records yet, so the loss handler would not release it before
    // the core goes, and disconnecting the core destroys it: it must go first.
    aggregate.reset();
    connection_.handleLoss();
    return status::kUnspecified;
  }
  if (aggregate->filter->failed()) return status::kUnspecified;

  outDevice = aggregate->id;
  aggregates_[aggregate->id] = std::move(aggregate);
  update();
  return kNoError;
}

Status PipeWireAudioHardware::destroyAggregateDevice(ObjectID device) {
  auto it = aggregates_.find(device);
  if (it == aggregates_.end()) return status::kBadObject;
  std::unique_ptr<Aggregate> aggregate = std::move(it->second);
  aggregates_.erase(it);
  if (aggregate->filter) aggregate->filter->stop();
  // Streams that only this aggregate read go back now; its filter and links go with the record.
  update();
  return kNoError;
}

// ---- I/O procedures --------------------------------------------------------------------------

Status PipeWireAudioHardware::createIOProc(ObjectID device, std::string_view queueLabel,
                                           IOBlock block, std::optional<IOProcID>& outID) {
  Aggregate* aggregate = findAggregate(device);
  if (!aggregate) return status::kBadDevice;
  // One procedure per aggregate device: each is a filter node of its own.
  if (aggregate->ioProc || !block) return status::kIllegalOperation;
  aggregate->block = std::make_unique<IOBlock>(std::move(block));
  aggregate->queueLabel = std::string(queueLabel);
  aggregate->ioProc = nextIOProc_++;
  if (aggregate->filter) aggregate->filter->setBlock(aggregate->block.get());
  outID = aggregate->ioProc;
  return kNoError;
}

Status PipeWireAudioHardware::destroyIOProc(ObjectID device, IOProcID id) {
  Aggregate* aggregate = findAggregate(device);
  if (!aggregate) return status::kBadDevice;
  if (aggregate->ioProc != id) return status::kBadObject;
  if (aggregate->started) deviceStop(device, id);
  if (aggregate->filter) {
    aggregate->filter->stop();
    aggregate->filter->setBlock(nullptr);
  }
  aggregate->block.reset();
  aggregate->ioProc.reset();
  return kNoError;
}

Status PipeWireAudioHardware::deviceStart(ObjectID device, IOProcID id) {
  Aggregate* aggregate = findAggregate(device);
  if (!aggregate) return status::kBadDevice;
  if (aggregate->ioProc != id) return status::kBadObject;
  if (!aggregate->filter || aggregate->generation != connection_.generation() ||
      !connection_.isConnected())
    return status::kNotRunning;
  aggregate->started = true;
  aggregate->filter->start();
  // The streams move once the filter is linked to the device: now, or when it gets there.
  update();
  return kNoError;
}

Status PipeWireAudioHardware::deviceStop(ObjectID device, IOProcID id) {
  Aggregate* aggregate = findAggregate(device);
  if (!aggregate) return status::kBadDevice;
  if (aggregate->ioProc != id) return status::kBadObject;
  aggregate->started = false;
  // The streams go back to their own output first; then no cycle may enter the block any more.
  update();
  if (aggregate->filter) aggregate->filter->stop();
  return kNoError;
}

// ---- keeping the graph in line ---------------------------------------------------------------

void PipeWireAudioHardware::reconcile() {
  if (!connection_.isConnected()) return;
  reconcileSinks();
  for (auto& [id, aggregate] : aggregates_)
    if (aggregate->generation == connection_.generation()) reconcileLinks(*aggregate);
  reconcileStreams();
}

void PipeWireAudioHardware::reconcileLinks(Aggregate& aggregate) {
  if (!aggregate.filter || aggregate.filter->failed()) {
    aggregate.links.clear();
    return;
  }
  // The ports each link joins, as the graph has them now: the tap sink's monitor into the
  // filter, the filter into the device. A device that went away (unplugged) leaves the chain
  // unlinked, and so not read: its streams go back to their normal output until it returns.
  std::vector<std::pair<uint32_t, uint32_t>> wanted;
  auto filterId = aggregate.filter->nodeId();
  const GraphNode* sinkNode = graph_.nodeByName(aggregate.sink->name);
  const GraphNode* deviceNode = graph_.nodeByName(aggregate.deviceName);
  if (filterId && sinkNode && deviceNode && deviceNode->isOutputDevice()) {
    const auto sinkPorts = graph_.portsOf(sinkNode->id);
    const auto filterPorts = graph_.portsOf(*filterId);
    const auto devicePorts = graph_.portsOf(deviceNode->id);
    for (size_t c = 0; c < ForwardFilter::kChannels; ++c) {
      const std::string channel = ForwardFilter::kChannelNames[c];
      const GraphPort* monitor = monitorPort(sinkPorts, channel);
      const GraphPort* input = findPort(filterPorts, false, "input_" + channel);
      const GraphPort* output = findPort(filterPorts, true, "output_" + channel);
      const GraphPort* playback = devicePort(devicePorts, c);
      if (!monitor || !input || !output || !playback) {
        wanted.clear();
        break;
      }
      wanted.emplace_back(monitor->id, input->id);
      wanted.emplace_back(output->id, playback->id);
    }
  }

  std::vector<std::pair<uint32_t, uint32_t>> existing;
  bool anyFailed = false;
  for (const auto& link : aggregate.links) {
    existing.emplace_back(link->outputPort, link->inputPort);
    anyFailed = anyFailed || link->failed;
  }
  if (existing != wanted)
    aggregate.linkAttempts = 0;
  else if (!anyFailed)
    return;
  aggregate.links.clear();
  if (wanted.empty() || aggregate.linkAttempts >= kMaxLinkAttempts) return;
  ++aggregate.linkAttempts;

  for (const auto& [outputPort, inputPort] : wanted) {
    const GraphPort* out = graph_.port(outputPort);
    const GraphPort* in = graph_.port(inputPort);
    const std::string outNode = std::to_string(out->nodeId), outPortId = std::to_string(out->id);
    const std::string inNode = std::to_string(in->nodeId), inPortId = std::to_string(in->id);
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
    aggregate.links.push_back(std::move(link));
  }
}

void PipeWireAudioHardware::reconcileStreams() {
  // Processes whose tap is being read right now, and the sink their streams belong on.
  std::map<pid_t, std::string> readSinks;
  for (const auto& [id, aggregate] : aggregates_) {
    if (aggregate->generation != connection_.generation() || !aggregate->started ||
        !aggregate->isAlive() || !isCurrent(*aggregate->sink))
      continue;
    for (pid_t pid : aggregate->sink->pids) readSinks.try_emplace(pid, aggregate->sink->name);
  }
  mover_.reconcile(readSinks,
                   [this](const GraphNode& stream) { return streamPid(graph_, stream); });
}

}  // namespace mixelot::hal::pipewire
