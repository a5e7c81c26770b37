#include "engine/hal/pipewire/PipeWireAudioHardware.h"

#include <unistd.h>

#include "engine/hal/pipewire/PipeWireObjects.h"
#include "platform/linux/FlatpakProcesses.h"
#include "platform/linux/ProcFs.h"

namespace mixelot::hal::pipewire {
namespace {

// How long the destructor waits for the daemon to take our last writes.
constexpr Seconds kShutdownRoundtrip{0.5};

PipeWireOptions withDefaults(PipeWireOptions options) {
  if (!options.processes.startTime) options.processes.startTime = procfs::startTime;
  if (!options.processes.sandboxHostPid) {
    options.processes.sandboxHostPid = [flatpak = std::make_shared<FlatpakProcesses>()](
                                           std::string_view appId, pid_t sandboxPid) {
      return flatpak->hostPid(appId, sandboxPid);
    };
  }
  return options;
}

}  // namespace

PipeWireAudioHardware::PipeWireAudioHardware(MainQueue& queue, Options options)
    : queue_(queue),
      options_(withDefaults(std::move(options))),
      ownPid_(::getpid()),
      connection_(queue,
                  {.attach = [this](pw_core* core) { graph_.attach(core); },
                   .ready =
                       [this] {
                         mover_.removeStaleTargets();
                         update();
                       },
                   .lost = [this] { releaseConnection(); },
                   .dispatched =
                       [this] {
                         if (dirty_) update();
                       }},
                  options_.roundtripTimeout),
      graph_([this] { dirty_ = true; }),
      view_(graph_, queue_,
            {.ownPid = ownPid_,
             .desktopEntryForProcess = options_.desktopEntryForProcess,
             .processes = options_.processes,
             .setTapProcesses = [this](ObjectID tap, const std::vector<ObjectID>& processes) {
               auto it = taps_.find(tap);
               return it == taps_.end() ? status::kBadObject
                                        : setTapProcesses(*it->second, processes);
             }}) {
  // Until there is a connection the system object is there, with no devices and no processes.
  publish();
  connection_.start();
}

PipeWireAudioHardware::~PipeWireAudioHardware() {
  const bool connected = connection_.isConnected();
  if (connected) {
    // Give every moved stream back its own target before our sinks go, so the session manager
    // neither sees streams pinned to a sink that no longer exists nor remembers them that way.
    for (auto& [id, aggregate] : aggregates_)
      if (aggregate->filter) aggregate->filter->stop();
    mover_.restoreAll();
  }
  aggregates_.clear();
  taps_.clear();
  if (connected) connection_.roundtrip(kShutdownRoundtrip);
  // Before the connection disconnects the core, which would destroy the graph's proxies.
  graph_.detach();
}

std::optional<bool> PipeWireAudioHardware::hasFullAccess() const {
  if (!connection_.isConnected()) return std::nullopt;
  if (!graph_.hasDefaultMetadata()) return true;
  constexpr uint32_t kNeeded = PW_PERM_R | PW_PERM_W | PW_PERM_X;
  return (graph_.metadataPermissions() & kNeeded) == kNeeded;
}

// ---- connection ------------------------------------------------------------------------------

void PipeWireAudioHardware::releaseConnection() {
  // Every object of that connection is gone on the daemon's side; release our ends. Taps and
  // aggregate devices stay as dead records until their owner destroys them, so its teardown
  // calls still succeed; they are never rebuilt (their processes may be gone too), the next
  // discovery builds new ones.
  for (auto& [id, aggregate] : aggregates_) {
    aggregate->links.made.clear();
    if (aggregate->filter) aggregate->filter->stop();
    aggregate->filter.reset();
    if (aggregate->sink) aggregate->sink->proxy.reset();
  }
  for (auto& [id, tap] : taps_) tap->sink->proxy.reset();
  mover_.forget();
  graph_.detach();
  dirty_ = false;
  // Listeners now see no devices, no processes and no default device: the engine takes that as
  // a device change and drops its chains, the model rediscovers once we are back.
  publish();
}

void PipeWireAudioHardware::update() {
  dirty_ = false;
  reconcile();
  publish();
}

// ---- properties ------------------------------------------------------------------------------

void PipeWireAudioHardware::publish() {
  PropertyView::Sources sources;
  sources.connected = connection_.isConnected();
  for (const auto& [id, aggregate] : aggregates_) {
    sources.aggregates.push_back({id, aggregate->description.name, aggregate->description.uid,
                                  aggregate->generation == connection_.generation() &&
                                      connection_.isConnected() && aggregate->isAlive()});
  }
  for (const auto& [id, tap] : taps_)
    sources.taps.push_back({id, tap->description.uuid, tap->description.processes});
  view_.update(std::move(sources));
  noteAccessChange();
}

void PipeWireAudioHardware::noteAccessChange() {
  const auto access = hasFullAccess();
  if (access == reportedAccess_) return;
  reportedAccess_ = access;
  queue_.post([this, alive = std::weak_ptr<int>(lifetime_)] {
    if (!alive.expired() && onAccessChanged) onAccessChanged();
  });
}

bool PipeWireAudioHardware::hasProperty(ObjectID object, const PropertyAddress& address) {
  return view_.hasProperty(object, address);
}

Status PipeWireAudioHardware::getPropertyDataSize(ObjectID object, const PropertyAddress& address,
                                                  uint32_t& outSize) {
  return view_.getPropertyDataSize(object, address, outSize);
}

Status PipeWireAudioHardware::getPropertyData(ObjectID object, const PropertyAddress& address,
                                              PropertyValue& outValue) {
  return view_.getPropertyData(object, address, outValue);
}

Status PipeWireAudioHardware::setPropertyData(ObjectID object, const PropertyAddress& address,
                                              const PropertyValue& value) {
  return view_.setPropertyData(object, address, value);
}

Status PipeWireAudioHardware::addPropertyListener(ObjectID object, const PropertyAddress& address,
                                                  PropertyListener listener, ListenerID& outID) {
  return view_.addPropertyListener(object, address, std::move(listener), outID);
}

Status PipeWireAudioHardware::removePropertyListener(ObjectID object,
                                                     const PropertyAddress& address,
                                                     ListenerID id) {
  return view_.removePropertyListener(object, address, id);
}

}  // namespace mixelot::hal::pipewire
