#pragma once

#include "engine/hal/pipewire/PwHandles.h"

namespace mixelot::hal::pipewire {

// A proxy of one kind (pw_node, pw_client, pw_device, pw_metadata, pw_registry) with the one
// listener we register on it. It does not move: the hook sits in the proxy's list. The hook is
// removed before the proxy is destroyed, whatever the order of the owner's members; should
// PipeWire unlink the hook first, its own removal handler still runs once (Hook::guard).
template <typename T>
class ProxyListener {
 public:
  ProxyListener() = default;
  ProxyListener(const ProxyListener&) = delete;
  ProxyListener& operator=(const ProxyListener&) = delete;
  ~ProxyListener() { reset(); }

  // Takes `object` and registers on it with `add(object, hook)`, one pw_*_add_listener call.
  template <typename Add>
  void attach(T* object, Add add) {
    reset();
    proxy_.reset(asProxy(object));
    add(object, hook_.get());
    hook_.guard();
  }
  void reset() {
    hook_.remove();
    proxy_.reset();
  }
  T* get() const { return reinterpret_cast<T*>(proxy_.get()); }
  explicit operator bool() const { return proxy_ != nullptr; }

 private:
  ProxyHandle proxy_;
  Hook hook_;
};

}  // namespace mixelot::hal::pipewire
