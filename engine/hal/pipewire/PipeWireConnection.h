#pragma once

#include <cstdint>
#include <functional>

#include "engine/hal/pipewire/PwHandles.h"
#include "platform/MainQueue.h"

namespace mixelot::hal::pipewire {

// Our connection to the PipeWire daemon: its loop (driven from the main queue), context and
// core; the first connection, the synchronous exchanges, and when the daemon goes (or is not
// there yet) new attempts with a back-off until one succeeds. Whoever builds on the core hears
// of each connection and each loss through the handlers. Main thread only.
class PipeWireConnection {
 public:
  struct Handlers {
    // A core was just made: start mirroring it. Its first exchanges follow.
    std::function<void(pw_core*)> attach;
    // The first exchanges of a new connection are done.
    std::function<void()> ready;
    // The daemon is gone: release everything made on the core, which is disconnected right
    // after. `isConnected()` is already false.
    std::function<void()> lost;
    // After each turn of the loop that did not lose the connection.
    std::function<void()> dispatched;
  };

  // Back-off between attempts to reach a daemon that went away (or was not there yet).
  static constexpr Seconds kFirstReconnectDelay{0.1};
  static constexpr Seconds kMaxReconnectDelay{5.0};

  // Makes the loop and the context; nothing is connected before `start`.
  PipeWireConnection(MainQueue& queue, Handlers handlers, Seconds roundtripTimeout);
  ~PipeWireConnection();
  PipeWireConnection(const PipeWireConnection&) = delete;
  PipeWireConnection& operator=(const PipeWireConnection&) = delete;

  // Connects at once; when there is no daemon yet, keeps trying in the background.
  void start();

  bool isConnected() const { return connected_; }
  // The daemon said we are gone, and `handleLoss` has not run yet (it runs after the loop's
  // turn, never inside the core's own event).
  bool isLost() const { return lost_; }
  // How many times a connection was made (1 after the first): records made on an earlier one
  // are dead.
  uint64_t generation() const { return generation_; }
  // How many attempts to connect were made, successful or not.
  uint64_t attempts() const { return attempts_; }
  pw_core* core() const { return core_.get(); }

  // Waits until the daemon has handled everything sent so far; false on timeout or loss.
  bool roundtrip() { return roundtrip(roundtripTimeout_); }
  bool roundtrip(Seconds timeout);
  // Drops a lost connection (the `lost` handler first) and schedules the next attempt.
  void handleLoss();

 private:
  struct Trampolines;

  bool connect();
  void scheduleReconnect();
  void dispatch();

  MainQueue& queue_;
  Handlers handlers_;
  Seconds roundtripTimeout_;

  LoopHandle loop_;
  ContextHandle context_;
  Timer loopWatch_;
  CoreHandle core_;
  Hook coreHook_;  // after the core: removed before it is disconnected

  bool connected_ = false;
  bool lost_ = false;
  int lastDoneSeq_ = -1;  // of this connection's exchanges
  uint64_t generation_ = 0;
  uint64_t attempts_ = 0;
  Timer reconnectTimer_;
  Seconds reconnectDelay_ = kFirstReconnectDelay;
};

}  // namespace mixelot::hal::pipewire
