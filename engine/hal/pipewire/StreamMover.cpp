#include "engine/hal/pipewire/StreamMover.h"

#include <set>
#include <string>
#include <vector>

#include "platform/SystemLog.h"

namespace mixelot::hal::pipewire {

void StreamMover::reconcile(const std::map<ProcessKey, std::string>& readSinks,
                            const StreamProcess& streamProcess) {
  // Without the session manager's metadata nothing can be moved or given back; the records wait.
  if (!graph_.hasDefaultMetadata()) return;

  std::set<GlobalId> present;
  for (const auto& [nodeId, node] : graph_.nodes()) {
    if (!node->isOutputStream()) continue;
    present.insert(nodeId);
    auto moved = moved_.find(nodeId);
    if (moved != moved_.end() && moved->second.serial != node->serial) {
      moved_.erase(moved);  // the id was reused by a new stream
      moved = moved_.end();
    }
    if (moved != moved_.end() && moved->second.isLeftAlone) continue;
    const auto current = graph_.metadata(nodeId, kTargetKey);

    // A sink that is not in the graph (destroyed under us, or not announced yet) reads
    // nothing: a stream pointed at it would play to the default device instead of its own.
    const std::string* sink = nullptr;
    const auto process = streamProcess(*node);
    if (process) {
      auto read = readSinks.find(*process);
      if (read != readSinks.end() && graph_.nodeByName(read->second)) sink = &read->second;
    }
    if (sink) {
      if (moved == moved_.end()) {
        moved = moved_.emplace(nodeId, MovedStream{node->serial, std::nullopt}).first;
        if (current && !isOurs(current)) keepPreviousTarget(nodeId, moved->second, *current);
      } else if (current && !isOurs(current)) {
        // Someone pointed the stream elsewhere while it was ours: the user, with another mixer,
        // or a tool that enforces targets of its own. Taking it back would start a tug of war
        // (a write of ours answered by one of theirs on every metadata event), so it stays where
        // they sent it, out of its app's volume.
        leaveAlone(*node, process ? std::optional<pid_t>(process->pid) : std::nullopt,
                   moved->second, *current);
        continue;
      }
      if (!current || current->value != *sink)
        graph_.setMetadata(nodeId, kTargetKey, MetadataValue{kTargetType, *sink});
    } else if (moved != moved_.end()) {
      restoreStream(nodeId, moved->second);
      moved_.erase(moved);
    }
  }
  std::erase_if(moved_, [&](const auto& entry) { return !present.count(entry.first); });
}

void StreamMover::restoreAll() {
  for (const auto& [node, moved] : moved_)
    if (!moved.isLeftAlone) restoreStream(node, moved);
  moved_.clear();
}

void StreamMover::leaveAlone(const GraphNode& node, std::optional<pid_t> pid, MovedStream& moved,
                             const MetadataValue& target) {
  // What we kept to give back is no longer ours to give: the stream already has its new target.
  if (moved.previousTarget) graph_.setMetadata(node.id, kSavedTargetKey, std::nullopt);
  moved.previousTarget.reset();
  moved.isLeftAlone = true;
  logLine("Stream " + std::string(node.name()) +
          (pid ? " of process " + std::to_string(*pid) : std::string()) + " was sent to " +
          target.value + " by another program; it is left there, outside its app's volume");
}

void StreamMover::keepPreviousTarget(GlobalId node, MovedStream& moved,
                                     const MetadataValue& target) {
  moved.previousTarget = target;
  // Also beside the stream, where an instance of ours started after this one was killed finds
  // it and gives it back (removeStaleTargets). The entry goes with the stream.
  graph_.setMetadata(node, kSavedTargetKey, target);
}

void StreamMover::restoreStream(GlobalId node, const MovedStream& moved) {
  if (moved.previousTarget) graph_.setMetadata(node, kSavedTargetKey, std::nullopt);
  const auto current = graph_.metadata(node, kTargetKey);
  // A target someone else set after ours is theirs to keep.
  if (current && !isOurs(current)) return;
  if (moved.previousTarget)
    graph_.setMetadata(node, kTargetKey, moved.previousTarget);
  else if (current)
    graph_.setMetadata(node, kTargetKey, std::nullopt);
}

void StreamMover::removeStaleTargets() {
  // A stream moved by an instance of ours that was killed still names that instance's sink. The
  // name is unique and the session manager falls back to the default device, so the app plays;
  // but if it had a target of its own (the user's choice), that is kept beside it: give it back.
  std::vector<GlobalId> stale, leftovers;
  for (const auto& [key, value] : graph_.metadataEntries()) {
    if (key.second == kTargetKey && value.value.starts_with(kTapSinkPrefix) &&
        !graph_.nodeByName(value.value))
      stale.push_back(key.first);
    if (key.second == kSavedTargetKey && !isOurs(graph_.metadata(key.first, kTargetKey)))
      leftovers.push_back(key.first);
  }
  for (GlobalId subject : stale) {
    auto saved = graph_.metadata(subject, kSavedTargetKey);
    graph_.setMetadata(subject, kTargetKey, saved);
    if (saved) graph_.setMetadata(subject, kSavedTargetKey, std::nullopt);
  }
  for (GlobalId subject : leftovers) graph_.setMetadata(subject, kSavedTargetKey, std::nullopt);
}

}  // namespace mixelot::hal::pipewire
