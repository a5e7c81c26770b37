#include "controls/linux/X11ShortcutService.h"

#include <xcb/xcb_keysyms.h>

#include <X11/keysym.h>

#include <cstdlib>
#include <utility>

#include "platform/SystemLog.h"

namespace mixelot::controls {

namespace {

constexpr std::uint16_t kFallbackNumLockMask = XCB_MOD_MASK_2;
// The modifiers a shortcut is made of. A press carries others that say nothing about it: the
// locks, and the layout group, which the core protocol reports as Mod5 (or AltGr's level).
constexpr std::uint16_t kShortcutMask =
    XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;
// Longer than any auto-repeat delay.
constexpr xcb_timestamp_t kRepeatGapMs = 1000;

// The desktop's modifiers as X11 modifier bits: Alt is Mod1 and Super is Mod4 on every common
// keyboard map.
std::uint16_t x11Modifiers(unsigned modifiers) {
  std::uint16_t mask = 0;
  if (modifiers & modifier::kShift) mask |= XCB_MOD_MASK_SHIFT;
  if (modifiers & modifier::kControl) mask |= XCB_MOD_MASK_CONTROL;
  if (modifiers & modifier::kAlt) mask |= XCB_MOD_MASK_1;
  if (modifiers & modifier::kSuper) mask |= XCB_MOD_MASK_4;
  return mask;
}

// The modifier bit that the Num_Lock key sets, from the display's modifier map.
std::uint16_t findNumLockMask(xcb_connection_t* connection) {
  xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(connection);
  if (!symbols) return kFallbackNumLockMask;
  xcb_keycode_t* numLockCodes = xcb_key_symbols_get_keycode(symbols, XK_Num_Lock);
  xcb_key_symbols_free(symbols);
  if (!numLockCodes) return kFallbackNumLockMask;

  std::uint16_t mask = kFallbackNumLockMask;
  auto* reply =
      xcb_get_modifier_mapping_reply(connection, xcb_get_modifier_mapping(connection), nullptr);
  if (reply) {
    const xcb_keycode_t* map = xcb_get_modifier_mapping_keycodes(reply);
    const int perModifier = reply->keycodes_per_modifier;
    for (int modifierIndex = 0; modifierIndex < 8; ++modifierIndex) {
      for (int i = 0; i < perModifier; ++i) {
        xcb_keycode_t code = map[modifierIndex * perModifier + i];
        for (const xcb_keycode_t* n = numLockCodes; code && *n; ++n)
          if (*n == code) mask = static_cast<std::uint16_t>(1u << modifierIndex);
      }
    }
    std::free(reply);
  }
  std::free(numLockCodes);
  return mask;
}

std::string describe(const GlobalShortcut& shortcut) {
  std::string text;
  if (shortcut.modifiers & modifier::kControl) text += "Ctrl+";
  if (shortcut.modifiers & modifier::kAlt) text += "Alt+";
  if (shortcut.modifiers & modifier::kShift) text += "Shift+";
  if (shortcut.modifiers & modifier::kSuper) text += "Super+";
  return text +
         (shortcut.keysym.empty() ? "evdev " + std::to_string(shortcut.evdev) : shortcut.keysym);
}

}  // namespace

std::unique_ptr<X11ShortcutService> X11ShortcutService::connect(MainQueue& queue,
                                                                const std::string& display) {
  int screenNumber = 0;
  xcb_connection_t* connection =
      xcb_connect(display.empty() ? nullptr : display.c_str(), &screenNumber);
  if (!connection || xcb_connection_has_error(connection)) {
    if (connection) xcb_disconnect(connection);
    return nullptr;
  }
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; i < screenNumber && screens.rem; ++i) xcb_screen_next(&screens);
  if (!screens.rem) {
    xcb_disconnect(connection);
    return nullptr;
  }
  return std::unique_ptr<X11ShortcutService>(
      new X11ShortcutService(queue, connection, screens.data->root));
}

X11ShortcutService::X11ShortcutService(MainQueue& queue, xcb_connection_t* connection,
                                       xcb_window_t root)
    : queue_(queue),
      connection_(connection),
      root_(root),
      numLockMask_(findNumLockMask(connection)) {
  watch_ = queue_.watchReadable(xcb_get_file_descriptor(connection_), [this] { readEvents(); });
}

X11ShortcutService::~X11ShortcutService() {
  watch_.cancel();
  // Closing the connection releases every grab it holds.
  xcb_disconnect(connection_);
}

std::uint16_t X11ShortcutService::lockMask() const {
  return static_cast<std::uint16_t>(XCB_MOD_MASK_LOCK | numLockMask_);
}

bool X11ShortcutService::registerShortcut(const GlobalShortcut& shortcut) {
  unregisterShortcut(shortcut.id);
  if (connectionLost_) return false;
  Grab grab{static_cast<xcb_keycode_t>(shortcut.evdev + 8), x11Modifiers(shortcut.modifiers),
            shortcut.repeats};
  const std::uint16_t locks[] = {0, XCB_MOD_MASK_LOCK, numLockMask_, lockMask()};
  xcb_void_cookie_t cookies[4];
  for (int i = 0; i < 4; ++i) {
    cookies[i] = xcb_grab_key_checked(connection_, 1, root_,
                                      static_cast<std::uint16_t>(grab.modifiers | locks[i]),
                                      grab.keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
  }
  bool refused = false;
  for (auto cookie : cookies) {
    if (xcb_generic_error_t* error = xcb_request_check(connection_, cookie)) {
      refused = true;
      std::free(error);
    }
  }
  // Waiting for the answers may have queued events that the descriptor will not announce again.
  std::weak_ptr<int> alive = lifetime_;
  queue_.post([this, alive] {
    if (!alive.expired()) readEvents();
  });
  if (refused) {
    ungrab(grab);  // the combinations we did get
    if (reportedRefusals_.insert({grab.keycode, grab.modifiers}).second)
      logLine("Hotkey " + describe(shortcut) +
              " is held by another program; it works only while a Mixelot window has the "
              "keyboard");
    return false;
  }
  grabs_[shortcut.id] = grab;
  return true;
}

void X11ShortcutService::unregisterShortcut(std::uint32_t id) {
  auto found = grabs_.find(id);
  if (found == grabs_.end()) return;
  ungrab(found->second);
  grabs_.erase(found);
  xcb_flush(connection_);
}

void X11ShortcutService::ungrab(const Grab& grab) {
  const std::uint16_t locks[] = {0, XCB_MOD_MASK_LOCK, numLockMask_, lockMask()};
  for (auto lock : locks)
    xcb_ungrab_key(connection_, grab.keycode, root_,
                   static_cast<std::uint16_t>(grab.modifiers | lock));
}

bool X11ShortcutService::isRepeat(xcb_keycode_t keycode, xcb_timestamp_t time) {
  auto [it, isNew] = held_.try_emplace(keycode, time);
  const xcb_timestamp_t last = std::exchange(it->second, time);
  // A release we never saw (the grab was let go meanwhile) must not silence the key for good:
  // repeats follow each other closely, a new press after a pause is a press.
  return !isNew && time - last < kRepeatGapMs;
}

void X11ShortcutService::pressed(const xcb_key_press_event_t& key, bool repeat) {
  auto modifiers = static_cast<std::uint16_t>(key.state & kShortcutMask);
  for (const auto& [id, grab] : grabs_) {
    if (grab.keycode == key.detail && grab.modifiers == modifiers) {
      if (onPressed && (!repeat || grab.repeats)) onPressed(id);
      return;
    }
  }
}

void X11ShortcutService::readEvents() {
  if (connectionLost_) return;
  xcb_generic_event_t* next = xcb_poll_for_event(connection_);
  while (xcb_generic_event_t* event = next) {
    next = xcb_poll_for_event(connection_);
    const int type = event->response_type & 0x7f;
    auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
    if (type == XCB_KEY_RELEASE) {
      // A held key repeats as a release and a press with the same time; only a real release
      // ends the press.
      auto* repeat = reinterpret_cast<xcb_key_press_event_t*>(next);
      if (next && (next->response_type & 0x7f) == XCB_KEY_PRESS && repeat->detail == key->detail &&
          repeat->time == key->time) {
        held_[key->detail] = key->time;
        pressed(*repeat, true);
        std::free(next);
        next = xcb_poll_for_event(connection_);
      } else {
        held_.erase(key->detail);
      }
    } else if (type == XCB_KEY_PRESS) {
      pressed(*key, isRepeat(key->detail, key->time));
    }
    std::free(event);
  }
  if (xcb_connection_has_error(connection_)) {
    connectionLost_ = true;
    // Not from inside the watch's own callback.
    std::weak_ptr<int> alive = lifetime_;
    queue_.post([this, alive] {
      if (!alive.expired()) watch_.cancel();
    });
    logLine("Lost the connection to the X server; global hotkeys are off");
  }
}

}  // namespace mixelot::controls
