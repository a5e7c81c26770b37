#pragma once

#include <pipewire/pipewire.h>

#include <memory>
#include <type_traits>
#include <utility>

namespace mixelot::hal::pipewire {

// One registered listener. A spa_hook sits in a linked list owned by the object it listens to, so
// it must never move or be copied; it is removed when this goes. Declare a Hook after the handle
// of the object it listens to, so that it is removed before that object is destroyed (PipeWire
// unlinks only hooks that are still registered, and unlinking one twice corrupts the list).
class Hook {
 public:
  Hook() = default;
  Hook(const Hook&) = delete;
  Hook& operator=(const Hook&) = delete;
  ~Hook() { remove(); }

  spa_hook* get() { return &hook_; }
  // Call right after registering: should the object ever unlink the hook itself (as PipeWire does
  // for the hooks still registered on an object it destroys), the hook notes it and a later
  // remove() does nothing instead of unlinking it a second time. A removal handler the object
  // installed while registering (a filter's stops its process callback) still runs, first.
  void guard() {
    previous_ = hook_.removed;
    hook_.removed = &Hook::onRemoved;
  }
  void remove() {
    spa_hook_remove(&hook_);
    hook_ = spa_hook{};
    previous_ = nullptr;
  }

 private:
  static void onRemoved(spa_hook* hook) {
    // hook_ is the first member of a standard-layout class: the hook's address is the Hook's.
    Hook* self = reinterpret_cast<Hook*>(hook);
    hook->removed = nullptr;
    if (auto previous = std::exchange(self->previous_, nullptr)) previous(hook);
    hook->link = spa_list{};
  }

  spa_hook hook_{};
  void (*previous_)(spa_hook*) = nullptr;
};
static_assert(std::is_standard_layout_v<Hook>);

struct ProxyDeleter {
  void operator()(pw_proxy* proxy) const { pw_proxy_destroy(proxy); }
};
// A client-side proxy. Destroying it releases the proxy; for an object we created (a sink, a
// link) that also destroys the object in the graph.
using ProxyHandle = std::unique_ptr<pw_proxy, ProxyDeleter>;

template <typename T>
pw_proxy* asProxy(T* object) {
  return reinterpret_cast<pw_proxy*>(object);
}

template <typename T>
T* proxyAs(const ProxyHandle& proxy) {
  return reinterpret_cast<T*>(proxy.get());
}

struct PropertiesDeleter {
  void operator()(pw_properties* properties) const { pw_properties_free(properties); }
};
using PropertiesHandle = std::unique_ptr<pw_properties, PropertiesDeleter>;

struct FilterDeleter {
  void operator()(pw_filter* filter) const { pw_filter_destroy(filter); }
};
using FilterHandle = std::unique_ptr<pw_filter, FilterDeleter>;

struct ContextDeleter {
  void operator()(pw_context* context) const { pw_context_destroy(context); }
};
using ContextHandle = std::unique_ptr<pw_context, ContextDeleter>;

// Disconnecting a core destroys every proxy still made on it: release those first.
struct CoreDeleter {
  void operator()(pw_core* core) const { pw_core_disconnect(core); }
};
using CoreHandle = std::unique_ptr<pw_core, CoreDeleter>;

struct LoopDeleter {
  void operator()(pw_loop* loop) const { pw_loop_destroy(loop); }
};
using LoopHandle = std::unique_ptr<pw_loop, LoopDeleter>;

}  // namespace mixelot::hal::pipewire
