#include "controls/HotkeyManager.h"

#include <cctype>
#include <iterator>
#include <string>

#include "controls/KeyCodeTable.h"
#include "platform/MainQueue.h"
#include "platform/Preferences.h"
#include "platform/PreferencesStore.h"
#include "platform/SystemLog.h"

namespace mixelot::controls {

namespace {

// What each shortcut is called, by id - 1; where it is stored is prefs::kShortcuts[id - 1].
struct HotkeyText {
  const char* name;
  const char* description;
};

constexpr HotkeyText kTexts[HotkeyManager::kHotkeyCount] = {
    {"mute-all", "Mute or restore all apps"},
    {"toggle-mixer", "Show or hide the mixer"},
    {"mute-focused", "Mute or unmute the focused app"},
    {"focused-volume-up", "Turn the focused app up"},
    {"focused-volume-down", "Turn the focused app down"},
};
static_assert(std::size(prefs::kShortcuts) == HotkeyManager::kHotkeyCount);

bool isFocusedAppHotkey(std::uint32_t id) {
  return id >= HotkeyManager::kMuteFocusedHotkeyId && id <= HotkeyManager::kHotkeyCount;
}

// A held volume key goes on turning, as the keyboard's own volume keys do.
bool repeats(std::uint32_t id) {
  return id == HotkeyManager::kFocusedVolumeUpHotkeyId ||
         id == HotkeyManager::kFocusedVolumeDownHotkeyId;
}

}  // namespace

HotkeyManager::HotkeyManager(GlobalShortcutService& service, PreferencesStore& preferences,
                             MainQueue& queue)
    : service_(service), preferences_(preferences), queue_(queue) {
  std::weak_ptr<int> alive = lifetime_;
  // A service may report from inside its own event dispatch; the actions run afterwards, from
  // the main queue, like every other event of the program.
  service_.onPressed = [this, alive](std::uint32_t id) {
    queue_.post([this, alive, id] {
      if (!alive.expired()) deliver(id);
    });
  };
  service_.onBound = [this](std::uint32_t id, const std::string& description) {
    if (onShortcutBound) onShortcutBound(id, description);
  };
}

HotkeyManager::~HotkeyManager() {
  unregisterHotkeys();
  service_.onPressed = nullptr;
  service_.onBound = nullptr;
}

unsigned HotkeyManager::shortcutModifiers(std::int64_t storedFlags) {
  unsigned modifiers = 0;
  if (storedFlags & kModifierShift) modifiers |= modifier::kShift;
  if (storedFlags & kModifierControl) modifiers |= modifier::kControl;
  if (storedFlags & kModifierOption) modifiers |= modifier::kAlt;
  if (storedFlags & kModifierCommand) modifiers |= modifier::kSuper;
  return modifiers;
}

void HotkeyManager::registerHotkeys() {
  unregisterHotkeys();
  if (suspended_ && service_.rebindsQuietly()) return;  // taken up when the recorder is done
  LocalMonitor monitor;
  for (std::uint32_t id = 1; id <= kHotkeyCount; ++id) {
    const prefs::ShortcutKeys& keys = prefs::kShortcuts[id - 1];
    std::int64_t keyCode = preferences_.integerValue(keys.keyCode);
    // Never seeded: absent is none, also in a store without the registered defaults (where the
    // integer read gives 0, the A key).
    if (isFocusedAppHotkey(id) &&
        (!focusedAppHotkeysEnabled_ || !preferences_.object(keys.keyCode)))
      keyCode = prefs::kNoHotkey;
    Registration& registration = registrations_[id - 1];
    registration.registered =
        registerOne(id, keyCode, preferences_.integerValue(keys.modifiers), registration.refused);
    monitor[id - 1] = keyCode;
  }
  localMonitor_ = monitor;
}

bool HotkeyManager::isRefused(std::uint32_t id) const {
  return id >= 1 && id <= kHotkeyCount && registrations_[id - 1].refused;
}

void HotkeyManager::setSuspended(bool suspended) {
  if (suspended == suspended_) return;
  suspended_ = suspended;
  if (!service_.rebindsQuietly()) return;
  if (suspended)
    unregisterHotkeys();
  else
    registerHotkeys();
}

bool HotkeyManager::registerOne(std::uint32_t id, std::int64_t keyCode, std::int64_t modifiers,
                                bool& refused) {
  refused = false;
  if (keyCode < 0 || keyCode > kMaxKeyCode) return false;
  auto evdev = evdevFromKeyCode(keyCode);
  if (!evdev) {
    logLine("Hotkey key code " + std::to_string(keyCode) + " names no key on this system");
    return false;
  }
  const HotkeyText& text = kTexts[id - 1];
  // The symbol the user saw when recording: a desktop that binds by symbol (the portal) would
  // otherwise take the US layout's, another key on a German Z or a French A.
  std::string keysym(keysymFromKeyCode(keyCode).value_or(""));
  const std::string keyChar =
      preferences_.stringValue(prefs::kShortcuts[id - 1].keyChar).value_or("");
  if (keyChar.size() == 1 && std::isalnum(static_cast<unsigned char>(keyChar[0])) &&
      std::isalnum(static_cast<unsigned char>(keysym.size() == 1 ? keysym[0] : 0)))
    keysym =
        std::string(1, static_cast<char>(std::tolower(static_cast<unsigned char>(keyChar[0]))));
  GlobalShortcut shortcut{.id = id,
                          .name = text.name,
                          .description = text.description,
                          .evdev = *evdev,
                          .keysym = keysym,
                          .modifiers = shortcutModifiers(modifiers < 0 ? 0 : modifiers),
                          .repeats = repeats(id)};
  // The local monitor still matches a refused key.
  refused = !service_.registerShortcut(shortcut);
  return true;
}

void HotkeyManager::unregisterHotkeys() {
  for (std::uint32_t id = 1; id <= kHotkeyCount; ++id) {
    if (registrations_[id - 1].registered) service_.unregisterShortcut(id);
    registrations_[id - 1] = {};
  }
  localMonitor_.reset();
}

bool HotkeyManager::handleLocalKeyDown(std::int64_t keyCode, std::int64_t modifierFlags,
                                       bool autoRepeat) {
  if (!localMonitor_ || suspended_) return false;
  // The device-independent part of the flags only, without the keypad's bit: the recorder never
  // stores it, and a keypad key is a key like any other.
  std::int64_t flags = modifierFlags & ~std::int64_t{0xFFFF} & ~kModifierNumericPad;
  for (std::uint32_t id = 1; id <= kHotkeyCount; ++id) {
    const std::int64_t wanted = (*localMonitor_)[id - 1];
    if (wanted < 0 || keyCode != wanted ||
        flags != preferences_.integerValue(prefs::kShortcuts[id - 1].modifiers))
      continue;
    // A held key's repeats are swallowed like its press, and do nothing but step a volume.
    if (!autoRepeat || repeats(id)) deliver(id);
    return true;
  }
  return false;
}

void HotkeyManager::deliver(std::uint32_t id) {
  if (suspended_) return;
  if (id == kMuteAllHotkeyId) {
    if (onHotkeyPressed) onHotkeyPressed();
  } else if (id == kPopoverHotkeyId) {
    if (onPopoverHotkeyPressed) onPopoverHotkeyPressed();
  } else if (isFocusedAppHotkey(id) && focusedAppHotkeysEnabled_) {
    if (onFocusedAppHotkeyPressed) onFocusedAppHotkeyPressed(id);
  }
}

}  // namespace mixelot::controls
