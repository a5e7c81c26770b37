#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "engine/hal/pipewire/Graph.h"
#include "engine/hal/pipewire/StreamPid.h"

namespace mixelot::hal::pipewire {

// The "default" metadata key that tells the session manager where a stream plays.
inline constexpr const char* kTargetKey = "target.object";
// The type wpctl and the desktop mixers give target.object. Our value is the sink's node.name
// rather than its serial: the session manager's restore-stream looks the value up as a serial,
// finds none and so never saves a stream as pinned to our sink (which, after a crash of ours,
// would leave it pinned to a sink that no longer exists).
inline constexpr const char* kTargetType = "Spa:Id";
// Where we keep, beside a stream we moved, the target it had before (nobody else reads it).
inline constexpr const char* kSavedTargetKey = "mixelot.saved-target.object";

// Moves the output streams of processes whose tap is being read onto that tap's sink, through
// the session manager's "default" metadata, and gives each stream back the target it had before
// once nobody reads a sink of its process. A stream that someone else points elsewhere while it
// is ours is theirs from then on, for the rest of its life. Works on the graph's mirror of the
// metadata only.
class StreamMover {
 public:
  // The node names of tap sinks, whichever instance of ours made them: a target naming one is
  // ours, one naming anything else was set by someone else (the user) and is theirs.
  static constexpr std::string_view kTapSinkPrefix = "mixelot.tap.";
  using StreamProcess = std::function<std::optional<ProcessKey>(const GraphNode&)>;

  explicit StreamMover(Graph& graph) : graph_(graph) {}
  StreamMover(const StreamMover&) = delete;
  StreamMover& operator=(const StreamMover&) = delete;

  // Points every output stream of a process in `readSinks` at the sink named there (node.name),
  // and gives every other stream we moved its own target back.
  void reconcile(const std::map<ProcessKey, std::string>& readSinks,
                 const StreamProcess& streamProcess);
  // Gives every moved stream its own target back; we are about to go.
  void restoreAll();
  // The connection is gone: its streams, and so our records of them, with it. The next
  // connection's `removeStaleTargets` gives back what is still pointed at our old sinks.
  void forget() { moved_.clear(); }
  // On a new connection: streams left on a tap sink that no longer exists (moved on an earlier
  // connection, or by an instance of ours that was killed) get back the target kept beside them.
  void removeStaleTargets();

 private:
  // A stream we moved onto a tap sink, and the target it had before, to give back; or one that
  // was taken from us and is left where it was sent.
  struct MovedStream {
    Serial serial;
    std::optional<MetadataValue> previousTarget;
    bool isLeftAlone = false;
  };

  void keepPreviousTarget(GlobalId node, MovedStream& moved, const MetadataValue& target);
  void leaveAlone(const GraphNode& node, std::optional<pid_t> pid, MovedStream& moved,
                  const MetadataValue& target);
  void restoreStream(GlobalId node, const MovedStream& moved);
  static bool isOurs(const std::optional<MetadataValue>& target) {
    return target && target->value.starts_with(kTapSinkPrefix);
  }

  Graph& graph_;
  std::map<GlobalId, MovedStream> moved_;  // by stream node id
};

}  // namespace mixelot::hal::pipewire
