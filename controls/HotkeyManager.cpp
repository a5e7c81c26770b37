#include "controls/HotkeyManager.h"

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
}

HotkeyManager::~HotkeyManager() {
  unregisterHotkeys();
  service_.onPressed = nullptr;
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
  std::int64_t hotkeyKeyCode = preferences_.integerValue(prefs::kHotkeyKeyCode);
  std::int64_t popoverKeyCode = preferences_.integerValue(prefs::kPopoverHotkeyKeyCode);
  hotkeyRegistered_ = registerOne(kMuteAllHotkeyId, hotkeyKeyCode,
                                  preferences_.integerValue(prefs::kHotkeyModifiers));
  popoverHotkeyRegistered_ = registerOne(kPopoverHotkeyId, popoverKeyCode,
                                         preferences_.integerValue(prefs::kPopoverHotkeyModifiers));
  localMonitor_ = LocalMonitor{hotkeyKeyCode, popoverKeyCode};
}

// Whether the shortcut went to the service (whatever the service made of it).
bool HotkeyManager::registerOne(std::uint32_t id, std::int64_t keyCode, std::int64_t modifiers) {
  if (keyCode < 0 || keyCode > kMaxKeyCode) return false;
  auto evdev = evdevFromKeyCode(keyCode);
  if (!evdev) {
    logLine("Hotkey key code " + std::to_string(keyCode) + " names no key on this system");
    return false;
  }
  HotkeyText text = textFor(id);
  GlobalShortcut shortcut{.id = id,
                          .name = text.name,
                          .description = text.description,
                          .evdev = *evdev,
                          .keysym = std::string(keysymFromKeyCode(keyCode).value_or("")),
                          .modifiers = shortcutModifiers(modifiers < 0 ? 0 : modifiers)};
  // A refusal is the service's to report; the local monitor still matches the key.
  service_.registerShortcut(shortcut);
  return true;
}

void HotkeyManager::unregisterHotkeys() {
  if (hotkeyRegistered_) service_.unregisterShortcut(kMuteAllHotkeyId);
  if (popoverHotkeyRegistered_) service_.unregisterShortcut(kPopoverHotkeyId);
  hotkeyRegistered_ = popoverHotkeyRegistered_ = false;
  localMonitor_.reset();
}

bool HotkeyManager::handleLocalKeyDown(std::int64_t keyCode, std::int64_t modifierFlags) {
  if (!localMonitor_) return false;
  // The device-independent part of the flags only.
  std::int64_t flags = modifierFlags & ~std::int64_t{0xFFFF};
  auto matches = [&](std::int64_t wanted, std::string_view modifiersKey) {
    return wanted >= 0 && keyCode == wanted && flags == preferences_.integerValue(modifiersKey);
  };
  if (matches(localMonitor_->hotkeyKeyCode, prefs::kHotkeyModifiers)) {
    if (onHotkeyPressed) onHotkeyPressed();
    return true;
  }
  if (matches(localMonitor_->popoverKeyCode, prefs::kPopoverHotkeyModifiers)) {
    if (onPopoverHotkeyPressed) onPopoverHotkeyPressed();
    return true;
  }
  return false;
}

void HotkeyManager::deliver(std::uint32_t id) {
  if (id == kMuteAllHotkeyId) {
    if (onHotkeyPressed) onHotkeyPressed();
  } else if (id == kPopoverHotkeyId) {
    if (onPopoverHotkeyPressed) onPopoverHotkeyPressed();
  }
}

}  // namespace mixelot::controls
