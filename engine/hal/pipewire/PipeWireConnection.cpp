#include "engine/hal/pipewire/PipeWireConnection.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "engine/hal/pipewire/PwCalls.h"

namespace mixelot::hal::pipewire {
namespace {

constexpr const char* kApplicationName = "Mixelot";
constexpr const char* kApplicationId = "com.corvana.Mixelot";

}  // namespace

struct PipeWireConnection::Trampolines {
  static void coreDone(void* data, uint32_t id, int seq) {
    if (id == PW_ID_CORE) static_cast<PipeWireConnection*>(data)->lastDoneSeq_ = seq;
  }
  static void coreError(void* data, uint32_t id, int, int res, const char*) {
    // The daemon is gone (or threw us out): everything made on this connection is gone with it.
    // Handled once the loop iteration is over, never inside the core's own event.
    if (id == PW_ID_CORE && res == -EPIPE) static_cast<PipeWireConnection*>(data)->lost_ = true;
  }
  static constexpr pw_core_events kCoreEvents = {
      .version = PW_VERSION_CORE_EVENTS,
      .done = coreDone,
      .error = coreError,
  };
};

PipeWireConnection::PipeWireConnection(MainQueue& queue, Handlers handlers,
                                       Seconds roundtripTimeout)
    : queue_(queue), handlers_(std::move(handlers)), roundtripTimeout_(roundtripTimeout) {
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
}

PipeWireConnection::~PipeWireConnection() {
  reconnectTimer_.cancel();
  coreHook_.remove();
  core_.reset();
  context_.reset();
  loopWatch_.cancel();
  if (loop_) pw_loop_leave(loop_.get());
  loop_.reset();
}

void PipeWireConnection::start() {
  if (!connect()) scheduleReconnect();
}

bool PipeWireConnection::connect() {
  if (!context_) return false;
  ++attempts_;
  // Manager: the session manager grants full access to a client of this category, also in a
  // sandbox where the portal decides.
  pw_properties* props =
      pw_properties_new(PW_KEY_MEDIA_CATEGORY, "Manager", PW_KEY_APP_NAME, kApplicationName,
                        PW_KEY_APP_ID, kApplicationId, nullptr);
  core_.reset(pw_context_connect(context_.get(), props, 0));
  if (!core_) return false;
  calls::addCoreListener(core_.get(), coreHook_.get(), &Trampolines::kCoreEvents, this);
  coreHook_.guard();
  // Each connection numbers its exchanges from the start again: an answer of the last one would
  // count as the answer to this one's.
  lastDoneSeq_ = -1;
  lost_ = false;
  connected_ = true;
  ++generation_;
  if (handlers_.attach) handlers_.attach(core_.get());
  // The first exchange brings the registry's globals (and binds what we need of them); the
  // second, the bound objects' properties, states and volumes.
  roundtrip();
  roundtrip();
  if (lost_) {
    handleLoss();
    return false;
  }
  reconnectDelay_ = kFirstReconnectDelay;
  if (handlers_.ready) handlers_.ready();
  return true;
}

void PipeWireConnection::handleLoss() {
  lost_ = false;
  if (!connected_) return;
  connected_ = false;
  if (handlers_.lost) handlers_.lost();
  coreHook_.remove();
  core_.reset();
  scheduleReconnect();
}

void PipeWireConnection::scheduleReconnect() {
  reconnectTimer_ = queue_.schedule(reconnectDelay_, false, [this] {
    if (connected_) return;
    if (connect()) return;
    reconnectDelay_ = std::min(reconnectDelay_ * 2, kMaxReconnectDelay);
    scheduleReconnect();
  });
}

void PipeWireConnection::dispatch() {
  if (!loop_) return;
  pw_loop_iterate(loop_.get(), 0);
  if (lost_) {
    handleLoss();
    return;
  }
  if (handlers_.dispatched) handlers_.dispatched();
}

bool PipeWireConnection::roundtrip(Seconds timeout) {
  if (!core_ || lost_) return false;
  const int seq = calls::coreSync(core_.get(), 0);
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(timeout);
  while (lastDoneSeq_ < seq && !lost_) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return false;
    pw_loop_iterate(loop_.get(), static_cast<int>(std::min<long long>(left, 100)));
  }
  return !lost_;
}

}  // namespace mixelot::hal::pipewire
