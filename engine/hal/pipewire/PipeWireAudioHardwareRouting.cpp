// Taps, aggregate devices and their I/O procedures, and the work that keeps the graph in line
// with them: their sinks and links (made by the Linker), and moving the tapped streams while a
// tap is read.

#include <algorithm>
#include <set>

#include "engine/hal/pipewire/PipeWireAudioHardware.h"
#include "engine/hal/pipewire/PipeWireObjects.h"
#include "engine/hal/pipewire/StreamPid.h"

namespace mixelot::hal::pipewire {
namespace {

constexpr std::string_view kForwardPrefix = "mixelot.forward.";

}  // namespace

PipeWireAudioHardware::Aggregate* PipeWireAudioHardware::findAggregate(ObjectID device) {
  auto it = aggregates_.find(device);
  return it == aggregates_.end() ? nullptr : it->second.get();
}

// ---- taps ------------------------------------------------------------------------------------

Status PipeWireAudioHardware::createProcessTap(const TapDescription& description,
                                               ObjectID& outTap) {
  if (!connection_.isConnected()) return status::kNotRunning;
  std::vector<ProcessKey> processes = keysOf(description.processes);
  if (processes.empty()) return status::kBadObject;

  std::shared_ptr<TapSink> sink;
  for (const auto& [id, tap] : taps_)
    if (tap->sink->tapName == description.name && tap->sink->processes == processes &&
        linker_.isCurrent(*tap->sink))
      sink = tap->sink;
  if (!sink) sink = linker_.makeSink(description.name, processes);
  if (!sink) {
    if (connection_.isLost()) connection_.handleLoss();
    return status::kUnspecified;
  }
  addApplications(*sink, processes);

  auto tap = std::make_unique<Tap>();
  tap->id = view_.newObjectID();
  tap->description = description;
  tap->sink = std::move(sink);
  outTap = tap->id;
  taps_[tap->id] = std::move(tap);
  update();
  return kNoError;
}

std::vector<ProcessKey> PipeWireAudioHardware::keysOf(
    const std::vector<ObjectID>& processes) const {
  std::vector<ProcessKey> keys;
  for (ObjectID process : processes)
    if (auto key = view_.processKey(process)) keys.push_back(*key);
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;
}

void PipeWireAudioHardware::addApplications(TapSink& sink,
                                            const std::vector<ProcessKey>& processes) {
  for (const ProcessKey& process : processes)
    if (const auto& application = applicationOf(process)) sink.applications.insert(*application);
}

const std::optional<std::string>& PipeWireAudioHardware::applicationOf(const ProcessKey& process) {
  auto it = processApplications_.find(process);
  if (it == processApplications_.end()) {
    std::optional<std::string> application;
    if (options_.applicationOfProcess) application = options_.applicationOfProcess(process.pid);
    it = processApplications_.emplace(process, std::move(application)).first;
  }
  return it->second;
}

std::optional<ProcessKey> PipeWireAudioHardware::streamProcess(const GraphNode& stream) const {
  auto pid = streamPid(graph_, stream, options_.processes);
  if (!pid) return std::nullopt;
  return options_.processes.key(*pid);
}

Status PipeWireAudioHardware::setTapProcesses(Tap& tap, const std::vector<ObjectID>& processes) {
  if (!connection_.isConnected()) return status::kNotRunning;
  std::vector<ProcessKey> keys = keysOf(processes);
  if (keys.empty()) return status::kBadObject;
  tap.description.processes = processes;
  std::shared_ptr<TapSink> sink = tap.sink;
  addApplications(*sink, keys);
  if (sink->processes == keys) {
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
    if (candidate->sink != sink && candidate->sink->tapName == sink->tapName &&
        candidate->sink->processes == keys && linker_.isCurrent(*candidate->sink))
      other = candidate->sink;
  if (!other) {
    sink->processes = std::move(keys);
    update();
    return kNoError;
  }
  // A sink of the new list exists already (a chain built with it while this one had the old
  // list): two sinks of the same processes would split their streams, which can sit on one sink
  // only. Everything on this sink joins that one. The old sink is held until the streams have
  // been pointed away from it, so that none falls back to its normal output meanwhile.
  other->applications.insert(sink->applications.begin(), sink->applications.end());
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
  if (!sink || !linker_.isCurrent(*sink)) return status::kBadObject;
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
  std::set<TapSink*> sinks;
  for (const auto& [id, tap] : taps_) sinks.insert(tap->sink.get());
  for (const auto& [id, aggregate] : aggregates_) sinks.insert(aggregate->sink.get());
  linker_.reconcileSinks(sinks);
  for (auto& [id, aggregate] : aggregates_)
    if (aggregate->generation == connection_.generation())
      linker_.reconcileLinks(aggregate->links, *aggregate->sink, aggregate->filter.get(),
                             aggregate->deviceName);
  reconcileStreams();
}

void PipeWireAudioHardware::reconcileStreams() {
  // Processes whose tap is being read right now, and the sink their streams belong on; and the
  // same by application, for the processes the taps do not list yet.
  std::map<ProcessKey, std::string> readSinks;
  std::map<std::string, std::string> applicationSinks;
  for (const auto& [id, aggregate] : aggregates_) {
    if (aggregate->generation != connection_.generation() || !aggregate->started ||
        !aggregate->isAlive() || !linker_.isCurrent(*aggregate->sink))
      continue;
    for (const ProcessKey& process : aggregate->sink->processes)
      readSinks.try_emplace(process, aggregate->sink->name);
    for (const auto& application : aggregate->sink->applications)
      applicationSinks.try_emplace(application, aggregate->sink->name);
  }
  // A new stream of an app that plays through a tap goes there before the session manager
  // links it (this runs on its registry event): linked to the device first, it would play at
  // full volume until the app model's next discovery pass moved it, ~90 ms for a new stream of
  // a listed process, most of a short sound from a process started for it. Processes seen once
  // are not asked again while they have streams.
  std::set<ProcessKey> withStreams;
  for (const auto& [nodeId, node] : graph_.nodes()) {
    if (!node->isOutputStream()) continue;
    auto process = streamProcess(*node);
    if (!process) continue;
    withStreams.insert(*process);
    if (applicationSinks.empty() || readSinks.count(*process)) continue;
    if (const auto& application = applicationOf(*process)) {
      auto sink = applicationSinks.find(*application);
      if (sink != applicationSinks.end()) readSinks.emplace(*process, sink->second);
    }
  }
  std::erase_if(processApplications_,
                [&](const auto& entry) { return !withStreams.count(entry.first); });
  mover_.reconcile(readSinks, [this](const GraphNode& stream) { return streamProcess(stream); });
}

}  // namespace mixelot::hal::pipewire
