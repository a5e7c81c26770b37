#include "controls/HotkeyManager.h"

#include <cctype>
#include <string>

#include "controls/KeyCodeTable.h"
#include "platform/MainQueue.h"
#include "platform/Preferences.h"
#include "platform/PreferencesStore.h"
#include "platform/SystemLog.h"

namespace mixelot::controls {

namespace {

struct HotkeyText {
  const char* name;
  const char* description;
};

HotkeyText textFor(std::uint32_t id) {
  if (id == HotkeyManager::kMuteAllHotkeyId) return {"mute-all", "Mute or restore all apps"};
  return {"toggle-mixer", "Show or hide the mixer"};
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
  std::int64_t hotkeyKeyCode = preferences_.integerValue(prefs::kHotkeyKeyCode);
  std::int64_t popoverKeyCode = preferences_.integerValue(prefs::kPopoverHotkeyKeyCode);
  hotkeyRegistered_ =
      registerOne(kMuteAllHotkeyId, hotkeyKeyCode,
                  preferences_.integerValue(prefs::kHotkeyModifiers), hotkeyRefused_);
  popoverHotkeyRegistered_ =
      registerOne(kPopoverHotkeyId, popoverKeyCode,
                  preferences_.integerValue(prefs::kPopoverHotkeyModifiers), popoverHotkeyRefused_);
  localMonitor_ = LocalMonitor{hotkeyKeyCode, popoverKeyCode};
}

bool HotkeyManager::isRefused(std::uint32_t id) const {
  return id == kMuteAllHotkeyId ? hotkeyRefused_ : id == kPopoverHotkeyId && popoverHotkeyRefused_;
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
  HotkeyText text = textFor(id);
  // The symbol the user saw when recording: a desktop that binds by symbol (the portal) would
  // otherwise take the US layout's, another key on a German Z or a French A.
  std::string keysym(keysymFromKeyCode(keyCode).value_or(""));
  const std::string keyChar =
      preferences_
          .stringValue(id == kMuteAllHotkeyId ? prefs::kHotkeyKeyChar
                                              : prefs::kPopoverHotkeyKeyChar)
          .value_or("");
  if (keyChar.size() == 1 && std::isalnum(static_cast<unsigned char>(keyChar[0])) &&
      std::isalnum(static_cast<unsigned char>(keysym.size() == 1 ? keysym[0] : 0)))
    keysym =
        std::string(1, static_cast<char>(std::tolower(static_cast<unsigned char>(keyChar[0]))));
  GlobalShortcut shortcut{.id = id,
                          .name = text.name,
                          .description = text.description,
                          .evdev = *evdev,
                          .keysym = keysym,
                          .modifiers = shortcutModifiers(modifiers < 0 ? 0 : modifiers)};
  // The local monitor still matches a refused key.
  refused = !service_.registerShortcut(shortcut);
  return true;
}

void HotkeyManager::unregisterHotkeys() {
  if (hotkeyRegistered_) service_.unregisterShortcut(kMuteAllHotkeyId);
  if (popoverHotkeyRegistered_) service_.unregisterShortcut(kPopoverHotkeyId);
  hotkeyRegistered_ = popoverHotkeyRegistered_ = false;
  hotkeyRefused_ = popoverHotkeyRefused_ = false;
  localMonitor_.reset();
}

bool HotkeyManager::handleLocalKeyDown(std::int64_t keyCode, std::int64_t modifierFlags,
                                       bool autoRepeat) {
  if (!localMonitor_ || suspended_) return false;
  // The device-independent part of the flags only, without the keypad's bit: the recorder never
  // stores it, and a keypad key is a key like any other.
  std::int64_t flags = modifierFlags & ~std::int64_t{0xFFFF} & ~kModifierNumericPad;
  auto matches = [&](std::int64_t wanted, std::string_view modifiersKey) {
    return wanted >= 0 && keyCode == wanted && flags == preferences_.integerValue(modifiersKey);
  };
  // A held key's repeats are swallowed like its press, and do nothing.
  if (matches(localMonitor_->hotkeyKeyCode, prefs::kHotkeyModifiers)) {
    if (onHotkeyPressed && !autoRepeat) onHotkeyPressed();
    return true;
  }
  if (matches(localMonitor_->popoverKeyCode, prefs::kPopoverHotkeyModifiers)) {
    if (onPopoverHotkeyPressed && !autoRepeat) onPopoverHotkeyPressed();
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
  }
}

}  // namespace mixelot::controls
