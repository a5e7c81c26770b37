#pragma once

#include <xcb/xcb.h>

#include <memory>
#include <string>

#include "controls/WindowActivator.h"

namespace mixelot::controls {

// On an X11 display: asks the window manager to activate (raise, focus, unminimise) the topmost
// managed window whose _NET_WM_PID is one of the app's processes, with a _NET_ACTIVE_WINDOW
// message as a pager sends it, so that focus-stealing prevention lets it through; and reads the
// window manager's _NET_ACTIVE_WINDOW and that window's _NET_WM_PID for the focused process.
// Uses a connection of its own.
class X11WindowActivator final : public WindowActivator {
 public:
  // Connects to `display` ($DISPLAY when empty); nullptr without an X server or a window manager
  // that supports activation.
  static std::unique_ptr<X11WindowActivator> connect(const std::string& display = {});
  ~X11WindowActivator() override;
  X11WindowActivator(const X11WindowActivator&) = delete;
  X11WindowActivator& operator=(const X11WindowActivator&) = delete;

  bool activate(const std::vector<pid_t>& pids) override;
  bool tellsFocusedWindow() const override { return true; }
  std::optional<pid_t> focusedProcess() override;

 private:
  X11WindowActivator(xcb_connection_t* connection, xcb_window_t root);
  xcb_atom_t atom(const char* name) const;

  xcb_connection_t* connection_;
  xcb_window_t root_;
};

}  // namespace mixelot::controls
