#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/hal/AudioHardware.h"
#include "engine/hal/pipewire/ApplicationIdentity.h"
#include "engine/hal/pipewire/Graph.h"
#include "engine/hal/pipewire/StreamPid.h"
#include "platform/MainQueue.h"

namespace mixelot::hal::pipewire {

// The audio-hardware objects and their properties, as built from the graph: the system object;
// one output device per Audio/Sink node (ID kept per node.name), each with one output stream
// object; one process object per client process that owns an output stream (ID kept per PID);
// the taps and aggregate devices the backend made, as it hands them in. Reads are served from
// the last build; each build is compared with the one before, and the listeners of what changed
// hear of it once per burst. Main thread only.
class PropertyView {
 public:
  // Prefix of the node names of everything we create; a device or stream with it is never one
  // of the user's, whichever instance made it.
  static constexpr std::string_view kOwnNodePrefix = "mixelot.";

  struct TapObject {
    ObjectID id = kUnknownObject;
    std::string uid;
    std::vector<ObjectID> processes;
  };
  struct AggregateObject {
    ObjectID id = kUnknownObject;
    std::string name;
    std::string uid;
    bool isAlive = false;
  };
  // What a build takes beside the graph. Not connected, the graph is not read: no devices, no
  // processes, no default device.
  struct Sources {
    bool connected = false;
    std::vector<TapObject> taps;
    std::vector<AggregateObject> aggregates;
  };
  struct Options {
    pid_t ownPid = 0;  // our own streams are never a process object
    DesktopEntryLookup desktopEntryForProcess;
    ProcessLookups processes;
    // Sets the process list of a tap (its 'tdsc'); the backend republishes.
    std::function<Status(ObjectID tap, const std::vector<ObjectID>& processes)> setTapProcesses;
  };

  PropertyView(Graph& graph, MainQueue& queue, Options options);
  PropertyView(const PropertyView&) = delete;
  PropertyView& operator=(const PropertyView&) = delete;

  // Rebuilds the view from the graph and `sources`, and tells the listeners what changed.
  void update(Sources sources);
  // A new object ID, from the same range as the view's own objects (for taps and aggregates).
  ObjectID newObjectID() { return nextObjectID_++; }
  // The PID behind a process object of the last build.
  std::optional<pid_t> processPid(ObjectID process) const;
  // The process behind a process object of the last build, for good.
  std::optional<ProcessKey> processKey(ObjectID process) const;

  bool hasProperty(ObjectID object, const PropertyAddress& address) const;
  Status getPropertyDataSize(ObjectID object, const PropertyAddress& address,
                             uint32_t& outSize) const;
  Status getPropertyData(ObjectID object, const PropertyAddress& address,
                         PropertyValue& outValue) const;
  // The session manager's metadata key for the user's choice of default output.
  static constexpr std::string_view kConfiguredDefaultSinkKey = "default.configured.audio.sink";

  // A tap's process list, an output device's volume and mute, or the system's default output
  // device (written to the graph).
  Status setPropertyData(ObjectID object, const PropertyAddress& address,
                         const PropertyValue& value);
  Status addPropertyListener(ObjectID object, const PropertyAddress& address,
                             PropertyListener listener, ListenerID& outID);
  Status removePropertyListener(ObjectID object, const PropertyAddress& address, ListenerID id);

 private:
  // Rebuilds from the graph and the sources last handed in.
  void rebuild();
  struct Listener {
    ObjectID object = kUnknownObject;
    PropertyAddress address;
    std::shared_ptr<PropertyListener> callback;
  };
  using ObjectView = std::map<PropertyAddress, PropertyValue>;
  using View = std::map<ObjectID, ObjectView>;

  View build();
  void addDeviceObjects(View& view, const GraphNode& node, std::vector<ObjectID>& devices);
  void addProcessObjects(View& view, std::vector<ObjectID>& processes);
  ObjectID idFor(const std::string& key);
  const PropertyValue* find(ObjectID object, const PropertyAddress& address) const;
  void notifyListeners(const View& previous);
  void deliverNotifications();
  Status setDefaultOutput(const PropertyValue& value);
  Status setDeviceVolume(ObjectID device, const PropertyAddress& address,
                         const PropertyValue& value);

  Graph& graph_;
  MainQueue& queue_;
  Options options_;
  // Queued deliveries hold this weakly, so none runs after we are gone.
  std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);

  Sources sources_;
  View view_;
  std::map<std::string, ObjectID> ids_;
  ObjectID nextObjectID_ = kSystemObject + 1;
  std::map<ObjectID, GlobalId> deviceNodes_;  // device object -> its node
  std::map<ObjectID, ProcessKey> processKeys_;
  std::map<ProcessKey, ProcessClues> processClues_;

  std::map<ListenerID, Listener> listeners_;
  ListenerID nextListener_ = 1;
  std::map<ListenerID, std::vector<PropertyAddress>> pendingNotifications_;
  Timer notifyTimer_;
};

}  // namespace mixelot::hal::pipewire
