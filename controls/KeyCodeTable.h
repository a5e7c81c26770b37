#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace mixelot::controls {

// Stored shortcuts name keys by virtual key code: a physical key position, independent of the
// keyboard layout (0 is the key labelled A on a US keyboard, 1 is S, 40 is K, 53 is Escape).
// Linux names the same positions by evdev code (X11 keycode = evdev + 8). This is the one table
// between the two; a key without a counterpart has no shortcut.
std::optional<int> evdevFromKeyCode(std::int64_t keyCode);
std::optional<std::int64_t> keyCodeFromEvdev(int evdev);
// The X11 keysym name of the key on a US layout ("a", "Escape", "F1").
std::optional<std::string_view> keysymFromKeyCode(std::int64_t keyCode);

inline constexpr int kX11KeycodeOffset = 8;
inline std::optional<int> x11KeycodeFromKeyCode(std::int64_t keyCode) {
  auto evdev = evdevFromKeyCode(keyCode);
  if (!evdev) return std::nullopt;
  return *evdev + kX11KeycodeOffset;
}
inline std::optional<std::int64_t> keyCodeFromX11Keycode(int keycode) {
  return keyCodeFromEvdev(keycode - kX11KeycodeOffset);
}

// Stored modifier bits. Option is Alt and command is Super on Linux keyboards.
inline constexpr std::int64_t kModifierCapsLock = 0x10000;
inline constexpr std::int64_t kModifierShift = 0x20000;
inline constexpr std::int64_t kModifierControl = 0x40000;
inline constexpr std::int64_t kModifierOption = 0x80000;
inline constexpr std::int64_t kModifierCommand = 0x100000;
inline constexpr std::int64_t kModifierNumericPad = 0x200000;
// The bits a shortcut is made of; every other stored bit (caps lock, function, keypad) is
// dropped before a registration.
inline constexpr std::int64_t kShortcutModifierMask =
    kModifierShift | kModifierControl | kModifierOption | kModifierCommand;

}  // namespace mixelot::controls
