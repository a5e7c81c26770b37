#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/hal/pipewire/Graph.h"
#include "engine/hal/pipewire/PipeWireConnection.h"
#include "engine/hal/pipewire/ProxyListener.h"
#include "engine/hal/pipewire/TapSink.h"

namespace mixelot::hal::pipewire {

class ForwardFilter;

// Our nodes and links in the graph: the tap sinks, and the links that carry a tap sink's monitor
// through an aggregate device's filter into the output device. Main thread; `onChanged` runs
// after every event of a sink or link we made.
class Linker {
 public:
  // An output port and the input port it feeds (global ids).
  using PortPair = std::pair<GlobalId, GlobalId>;

  // One port-to-port link we made (link-factory links one pair per object).
  struct Link {
    Linker* owner = nullptr;
    GlobalId outputPort;
    GlobalId inputPort;
    bool bound = false;
    bool failed = false;
    ProxyListener<pw_proxy> proxy;
  };
  // The links of one filter, and how many times the current set of ports was tried: bounded, so
  // a link the daemon keeps refusing is not asked for forever.
  struct Links {
    std::vector<std::unique_ptr<Link>> made;
    int attempts = 0;
    // Every link there and bound.
    bool areUp() const;
  };

  Linker(Graph& graph, PipeWireConnection& connection, std::function<void()> onChanged);

  // A new sink for the taps named `tapName` of `processes` on the current connection, once the
  // daemon took it; null when it refused (a sandbox without the right, a missing factory) or the
  // connection went meanwhile.
  std::shared_ptr<TapSink> makeSink(std::string tapName, std::vector<ProcessKey> processes);
  // Made on this connection and not refused or removed since.
  bool isCurrent(const TapSink& sink) const;
  // Makes the nodes of `sinks` again for a new session manager, or drops them without one.
  void reconcileSinks(const std::set<TapSink*>& sinks);

  // Which port feeds which, as the graph has them now: each channel of the tap sink's monitor
  // into the filter, the filter into the device. Empty when any of them (or a port) is missing,
  // or the device is no output device.
  static std::vector<PortPair> planLinks(const Graph& graph, std::string_view sinkName,
                                         std::optional<GlobalId> filterNode,
                                         std::string_view deviceName);
  // Brings `links` in line with the plan for `filter`: made anew when the plan changed, remade
  // (a few times) when one failed, dropped when there is nothing to link.
  void reconcileLinks(Links& links, const TapSink& sink, const ForwardFilter* filter,
                      std::string_view deviceName);

 private:
  struct ProxyEvents;

  bool createSinkNode(TapSink& sink);

  Graph& graph_;
  PipeWireConnection& connection_;
  std::function<void()> onChanged_;
  const pid_t ownPid_;
  uint64_t sinkCounter_ = 0;
};

}  // namespace mixelot::hal::pipewire
