#pragma once

#include <xcb/xcb.h>

#include <map>
#include <memory>
#include <set>
#include <string>

#include "controls/GlobalShortcutService.h"
#include "platform/MainQueue.h"

namespace mixelot::controls {

// Global shortcuts on an X11 display: a passive key grab on the root window per shortcut, once
// for each combination of Caps Lock and Num Lock so that neither lock blocks it. Uses a
// connection of its own, read through the main queue. A key another program holds already is
// refused (and logged once); it then works only while one of our windows has the keyboard.
// A press counts once: the repeats of a held key are dropped, except for a shortcut that repeats.
// Main thread only.
class X11ShortcutService final : public GlobalShortcutService {
 public:
  // Connects to `display` ($DISPLAY when empty); nullptr when there is no X server to talk to.
  static std::unique_ptr<X11ShortcutService> connect(MainQueue& queue,
                                                     const std::string& display = {});
  ~X11ShortcutService() override;
  X11ShortcutService(const X11ShortcutService&) = delete;
  X11ShortcutService& operator=(const X11ShortcutService&) = delete;

  std::string_view name() const override { return "X11 key grabs"; }
  bool registerShortcut(const GlobalShortcut& shortcut) override;
  void unregisterShortcut(std::uint32_t id) override;

 private:
  struct Grab {
    xcb_keycode_t keycode;
    std::uint16_t modifiers;  // X modifier mask, locks excluded
    bool repeats = false;
  };

  X11ShortcutService(MainQueue& queue, xcb_connection_t* connection, xcb_window_t root);
  std::uint16_t lockMask() const;
  void ungrab(const Grab& grab);
  void readEvents();
  // Records a press; whether it repeats one of a key still held.
  bool isRepeat(xcb_keycode_t keycode, xcb_timestamp_t time);
  // Runs onPressed for the shortcut of a key press (or, where it repeats, of a repeat).
  void pressed(const xcb_key_press_event_t& key, bool repeat);

  MainQueue& queue_;
  xcb_connection_t* connection_;
  xcb_window_t root_;
  // The modifier bit Num Lock sets on this display (usually Mod2).
  std::uint16_t numLockMask_;
  std::map<std::uint32_t, Grab> grabs_;
  // Keys already reported as held by another program, so each is logged once.
  std::set<std::pair<xcb_keycode_t, std::uint16_t>> reportedRefusals_;
  // Keys pressed and not yet released, with the time of their last press or repeat: a held key
  // fires once, however long it repeats.
  std::map<xcb_keycode_t, xcb_timestamp_t> held_;
  bool connectionLost_ = false;
  Timer watch_;
  std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

}  // namespace mixelot::controls
