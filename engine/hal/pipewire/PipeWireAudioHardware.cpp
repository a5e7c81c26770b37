#include "engine/hal/pipewire/PipeWireAudioHardware.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "engine/hal/pipewire/PipeWireObjects.h"
#include "engine/hal/pipewire/PwCalls.h"

namespace mixelot::hal::pipewire {
namespace {

// Back-off between attempts to reach a daemon that went away (or was not there yet).
constexpr Seconds kFirstReconnectDelay{0.1};
constexpr Seconds kMaxReconnectDelay{5.0};
// How long the destructor waits for the daemon to take our last writes.
constexpr Seconds kShutdownRoundtrip{0.5};

constexpr const char* kApplicationName = "Mixelot";
constexpr const char* kApplicationId = "com.corvana.Mixelot";

}  // namespace

struct PipeWireAudioHardware::Trampolines {
  static void coreDone(void* data, uint32_t id, int seq) {
    if (id == PW_ID_CORE) static_cast<PipeWireAudioHardware*>(data)->lastDoneSeq_ = seq;
  }
  static void coreError(void* data, uint32_t id, int, int res, const char*) {
    // The daemon is gone (or threw us out): everything made on this connection is gone with it.
    // Handled once the loop iteration is over, never inside the core's own event.
    if (id == PW_ID_CORE && res == -EPIPE)
      static_cast<PipeWireAudioHardware*>(data)->connectionLost_ = true;
  }
  static constexpr pw_core_events kCoreEvents = {
      .version = PW_VERSION_CORE_EVENTS,
      .done = coreDone,
      .error = coreError,
  };
};

PipeWireAudioHardware::PipeWireAudioHardware(MainQueue& queue, Options options)
    : queue_(queue),
      options_(std::move(options)),
      ownPid_(::getpid()),
      graph_([this] { dirty_ = true; }),
      view_(graph_, queue_,
            {.ownPid = ownPid_,
             .desktopEntryForProcess = options_.desktopEntryForProcess,
             .setTapProcesses =
                 [this](ObjectID tap, const std::vector<ObjectID>& processes) {
                   auto it = taps_.find(tap);
                   return it == taps_.end() ? status::kBadObject
                                            : setTapProcesses(*it->second, processes);
                 }}),
      reconnectDelay_(kFirstReconnectDelay) {
  // Until there is a connection the system object is there, with no devices and no processes.
  publish();
  pw_init(nullptr, nullptr);
  loop_.reset(pw_loop_new(nullptr));
  if (!loop_) return;
  // Entered for our whole life, like pw_main_loop_run does: the loop then knows the main thread
  // as its own, so work other threads hand to it (pw_loop_invoke) is queued, not run on theirs.
  pw_loop_enter(loop_.get());
  // The real-time client configuration: its rt module raises our filters' data thread to
  // real-time priority (through RTKit where needed, skipped where neither is allowed), as audio
  // players do; at normal priority a busy desktop would make our chains drop out.
  pw_properties* contextProps = pw_properties_new(PW_KEY_APP_NAME, kApplicationName,
                                                  PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr);
  context_.reset(pw_context_new(loop_.get(), contextProps, 0));
  if (!context_) return;
  loopWatch_ = queue_.watchReadable(pw_loop_get_fd(loop_.get()), [this] { dispatch(); });
  if (!connect()) scheduleReconnect();
}

PipeWireAudioHardware::~PipeWireAudioHardware() {
  reconnectTimer_.cancel();
  if (connected_) {
    // Give every moved stream back its own target before our sinks go, so the session manager
    // neither sees streams pinned to a sink that no longer exists nor remembers them that way.
    for (auto& [id, aggregate] : aggregates_)
      if (aggregate->filter) aggregate->filter->stop();
    mover_.restoreAll();
  }
  aggregates_.clear();
  taps_.clear();
  if (connected_) {
    options_.roundtripTimeout = kShutdownRoundtrip;
    roundtrip();
  }
  graph_.detach();
  coreHook_.remove();
  core_.reset();
  context_.reset();
  loopWatch_.cancel();
  if (loop_) pw_loop_leave(loop_.get());
  loop_.reset();
}

std::optional<bool> PipeWireAudioHardware::hasFullAccess() const {
  if (!connected_) return std::nullopt;
  if (!graph_.hasDefaultMetadata()) return true;
  constexpr uint32_t kNeeded = PW_PERM_R | PW_PERM_W | PW_PERM_X;
  return (graph_.metadataPermissions() & kNeeded) == kNeeded;
}

// ---- connection ------------------------------------------------------------------------------

bool PipeWireAudioHardware::connect() {
  if (!context_) return false;
  // Manager: the session manager grants full access to a client of this category, also in a
  // sandbox where the portal decides.
  pw_properties* props =
      pw_properties_new(PW_KEY_MEDIA_CATEGORY, "Manager", PW_KEY_APP_NAME, kApplicationName,
                        PW_KEY_APP_ID, kApplicationId, nullptr);
  core_.reset(pw_context_connect(context_.get(), props, 0));
  if (!core_) return false;
  calls::addCoreListener(core_.get(), coreHook_.get(), &Trampolines::kCoreEvents, this);
  coreHook_.guard();
  connectionLost_ = false;
  connected_ = true;
  ++generation_;
  graph_.attach(core_.get());
  // The first exchange brings the registry's globals (and binds what we need of them); the
  // second, the bound objects' properties, states and volumes.
  roundtrip();
  roundtrip();
  if (connectionLost_) {
    handleConnectionLoss();
    return false;
  }
  reconnectDelay_ = kFirstReconnectDelay;
  mover_.removeStaleTargets();
  update();
  return true;
}

void PipeWireAudioHardware::handleConnectionLoss() {
  connectionLost_ = false;
  if (!connected_) return;
  connected_ = false;
  // Every object of that connection is gone on the daemon's side; release our ends. Taps and
  // aggregate devices stay as dead records until their owner destroys them, so its teardown
  // calls still succeed; they are never rebuilt (their processes may be gone too), the next
  // discovery builds new ones.
  for (auto& [id, aggregate] : aggregates_) {
    aggregate->links.clear();
    if (aggregate->filter) aggregate->filter->stop();
    aggregate->filter.reset();
  }
  for (auto& [id, tap] : taps_) {
    tap->sink->proxy.reset();
  }
  for (auto& [id, aggregate] : aggregates_) {
    if (!aggregate->sink) continue;
    aggregate->sink->proxy.reset();
  }
  mover_.forget();
  graph_.detach();
  coreHook_.remove();
  core_.reset();
  dirty_ = false;
  // Listeners now see no devices, no processes and no default device: the engine takes that as
  // a device change and drops its chains, the model rediscovers once we are back.
  publish();
  scheduleReconnect();
}

void PipeWireAudioHardware::scheduleReconnect() {
  reconnectTimer_ = queue_.schedule(reconnectDelay_, false, [this] {
    if (connected_) return;
    if (connect()) return;
    reconnectDelay_ = std::min(reconnectDelay_ * 2, kMaxReconnectDelay);
    scheduleReconnect();
  });
}

void PipeWireAudioHardware::dispatch() {
  if (!loop_) return;
  pw_loop_iterate(loop_.get(), 0);
  if (connectionLost_) {
    handleConnectionLoss();
    return;
  }
  if (dirty_) update();
}

bool PipeWireAudioHardware::roundtrip() {
  if (!core_ || connectionLost_) return false;
  const int seq = calls::coreSync(core_.get(), 0);
  const auto deadline =
      std::chrono::steady_clock::now() +
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(options_.roundtripTimeout);
  while (lastDoneSeq_ < seq && !connectionLost_) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return false;
    pw_loop_iterate(loop_.get(), static_cast<int>(std::min<long long>(left, 100)));
  }
  return !connectionLost_;
}

void PipeWireAudioHardware::update() {
  dirty_ = false;
  reconcile();
  publish();
}

// ---- properties ------------------------------------------------------------------------------

void PipeWireAudioHardware::publish() {
  PropertyView::Sources sources;
  sources.connected = connected_;
  for (const auto& [id, aggregate] : aggregates_) {
    sources.aggregates.push_back(
        {id, aggregate->description.name, aggregate->description.uid,
         aggregate->generation == generation_ && connected_ && aggregate->isAlive()});
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
