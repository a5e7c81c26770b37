#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/hal/AudioHardware.h"
#include "engine/hal/pipewire/ApplicationIdentity.h"
#include "engine/hal/pipewire/Graph.h"
#include "engine/hal/pipewire/Linker.h"
#include "engine/hal/pipewire/PipeWireConnection.h"
#include "engine/hal/pipewire/PropertyView.h"
#include "engine/hal/pipewire/PwHandles.h"
#include "engine/hal/pipewire/StreamMover.h"
#include "platform/MainQueue.h"

namespace mixelot::hal::pipewire {

class ForwardFilter;

struct PipeWireOptions {
  // The desktop entry of a process, matched by its executable (LinuxWorkspace does this); unset
  // skips that step of the application identity.
  DesktopEntryLookup desktopEntryForProcess;
  // The application a process belongs to, as the app model groups processes into applications
  // (its own, else that of its nearest ancestor that is one). With it, a new stream of an app
  // whose tap is read joins the tap before the session manager links it anywhere, even from a
  // process the tap does not list yet (a child started for one sound); unset, only streams of
  // the listed processes do.
  std::function<std::optional<std::string>(pid_t)> applicationOfProcess;
  // When a process started and where a sandboxed app's process is on the host; unset members
  // read /proc.
  ProcessLookups processes;
  // The longest a synchronous exchange with the daemon may take.
  Seconds roundtripTimeout{2.0};
};

// The audio hardware interface on PipeWire.
//
// Objects and properties: a PropertyView of the graph and of the taps and aggregate devices made
// through this interface, rebuilt after every burst of PipeWire events and after every operation;
// listeners hear what changed in it.
//
// A process tap is a private sink of ours (a null sink, gone with our connection); while an
// aggregate device that reads the tap runs, the tapped processes' output streams are moved onto
// it through the session manager's "default" metadata. An aggregate device is a filter node of
// ours, linked from the tap sink's monitor to the target device; its I/O procedure is called from
// the filter's real-time process callback. Taps of the same name (app) and processes share one
// sink, so one app can play to several devices. A tap's process list ('tdsc') can be set: its sink
// then takes the streams of the new list, for every tap that shares it.
//
// Threads: PipeWire's loop runs on our main thread (its descriptor is watched through the main
// queue), so every event, read and operation happens there and nothing needs a lock; only the
// I/O procedures run on PipeWire's data thread.
class PipeWireAudioHardware final : public AudioHardware {
 public:
  using Options = PipeWireOptions;

  static constexpr std::string_view kNodeNamePrefix = PropertyView::kOwnNodePrefix;
  static constexpr std::string_view kTapSinkPrefix = StreamMover::kTapSinkPrefix;

  // Connects at once; when there is no daemon yet, keeps trying in the background. Main thread.
  explicit PipeWireAudioHardware(MainQueue& queue, Options options = {});
  ~PipeWireAudioHardware() override;
  PipeWireAudioHardware(const PipeWireAudioHardware&) = delete;
  PipeWireAudioHardware& operator=(const PipeWireAudioHardware&) = delete;

  bool isConnected() const { return connection_.isConnected(); }
  // Whether the session manager lets us reroute other applications' streams: false when it
  // restricts our client (a sandbox without the grant). Without a session manager nothing says
  // we are restricted; without a connection nothing is known yet.
  std::optional<bool> hasFullAccess() const;
  // Runs (from the main queue, never inside an operation) after `hasFullAccess` changed: a
  // connection was made, lost or made again, or the session manager's answer arrived.
  std::function<void()> onAccessChanged;
  // How many times a connection was made (1 after the first).
  uint64_t connectionCount() const { return connection_.generation(); }

  // ---- AudioHardware -------------------------------------------------------------------------
  bool supportsProcessTaps() const override { return true; }
  bool hasProperty(ObjectID object, const PropertyAddress& address) override;
  Status getPropertyDataSize(ObjectID object, const PropertyAddress& address,
                             uint32_t& outSize) override;
  Status getPropertyData(ObjectID object, const PropertyAddress& address,
                         PropertyValue& outValue) override;
  Status setPropertyData(ObjectID object, const PropertyAddress& address,
                         const PropertyValue& value) override;
  Status addPropertyListener(ObjectID object, const PropertyAddress& address,
                             PropertyListener listener, ListenerID& outID) override;
  Status removePropertyListener(ObjectID object, const PropertyAddress& address,
                                ListenerID id) override;
  Status createProcessTap(const TapDescription& description, ObjectID& outTap) override;
  Status destroyProcessTap(ObjectID tap) override;
  Status createAggregateDevice(const AggregateDescription& description,
                               ObjectID& outDevice) override;
  Status destroyAggregateDevice(ObjectID device) override;
  Status createIOProc(ObjectID device, std::string_view queueLabel, IOBlock block,
                      std::optional<IOProcID>& outID) override;
  Status destroyIOProc(ObjectID device, IOProcID id) override;
  Status deviceStart(ObjectID device, IOProcID id) override;
  Status deviceStop(ObjectID device, IOProcID id) override;

 private:
  struct Tap;
  struct Aggregate;

  // ---- connection (PipeWireAudioHardware.cpp) ----------------------------------------------
  // Releases everything made on a connection the daemon dropped.
  void releaseConnection();
  // Brings the graph in line with our taps and aggregates, then republishes the view.
  void update();

  // ---- routing (PipeWireAudioHardwareRouting.cpp) --------------------------------------------
  void reconcile();
  void reconcileStreams();
  Aggregate* findAggregate(ObjectID device);
  Status setTapProcesses(Tap& tap, const std::vector<ObjectID>& processes);
  std::vector<ProcessKey> keysOf(const std::vector<ObjectID>& processes) const;
  // Notes the applications of `processes` on the sink their streams are moved onto.
  void addApplications(TapSink& sink, const std::vector<ProcessKey>& processes);
  // The application of a process (options_.applicationOfProcess), asked once per process.
  const std::optional<std::string>& applicationOf(const ProcessKey& process);
  // The process a stream plays for, for good.
  std::optional<ProcessKey> streamProcess(const GraphNode& stream) const;

  // ---- view ----------------------------------------------------------------------------------
  // Rebuilds the property view from the graph and our taps and aggregates.
  void publish();
  void noteAccessChange();

  MainQueue& queue_;
  Options options_;
  const pid_t ownPid_;
  // Queued deliveries hold this weakly, so none runs after we are gone.
  std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);

  // Before everything made on its core, so that it goes last.
  PipeWireConnection connection_;
  Graph graph_;
  Linker linker_{graph_, connection_, [this] { dirty_ = true; }};
  StreamMover mover_{graph_};
  // Reads graph_: declared after it.
  PropertyView view_;

  bool dirty_ = false;

  uint64_t nodeCounter_ = 0;
  IOProcID nextIOProc_ = 1;

  std::map<ObjectID, std::unique_ptr<Tap>> taps_;
  std::map<ObjectID, std::unique_ptr<Aggregate>> aggregates_;

  std::optional<bool> reportedAccess_;
  // applicationOf's answers, for the processes that have streams.
  std::map<ProcessKey, std::optional<std::string>> processApplications_;
};

}  // namespace mixelot::hal::pipewire
