#pragma once

#include <cstdint>
#include <string_view>

#include "platform/PreferencesStore.h"

namespace mixelot {

// The keys of the user-defaults store. They are stored in users' files: never rename one.
namespace prefs {

// General settings.
inline constexpr std::string_view kDefaultVolume = "defaultVolume";      // float 0-1
inline constexpr std::string_view kLaunchAtLogin = "launchAtLogin";      // boolean
inline constexpr std::string_view kHotkeyKeyCode = "hotkeyKeyCode";      // integer, -1 = none
inline constexpr std::string_view kHotkeyModifiers = "hotkeyModifiers";  // integer flag bits
inline constexpr std::string_view kHotkeyKeyChar = "hotkeyKeyChar";      // string, display only
inline constexpr std::string_view kPopoverHotkeyKeyCode = "popoverHotkeyKeyCode";
inline constexpr std::string_view kPopoverHotkeyModifiers = "popoverHotkeyModifiers";
inline constexpr std::string_view kPopoverHotkeyKeyChar = "popoverHotkeyKeyChar";
// The focused app's shortcuts: off until the user records one (never seeded).
inline constexpr std::string_view kMuteFocusedHotkeyKeyCode = "muteFocusedHotkeyKeyCode";
inline constexpr std::string_view kMuteFocusedHotkeyModifiers = "muteFocusedHotkeyModifiers";
inline constexpr std::string_view kMuteFocusedHotkeyKeyChar = "muteFocusedHotkeyKeyChar";
inline constexpr std::string_view kFocusedVolumeUpHotkeyKeyCode = "focusedVolumeUpHotkeyKeyCode";
inline constexpr std::string_view kFocusedVolumeUpHotkeyModifiers =
    "focusedVolumeUpHotkeyModifiers";
inline constexpr std::string_view kFocusedVolumeUpHotkeyKeyChar = "focusedVolumeUpHotkeyKeyChar";
inline constexpr std::string_view kFocusedVolumeDownHotkeyKeyCode =
    "focusedVolumeDownHotkeyKeyCode";
inline constexpr std::string_view kFocusedVolumeDownHotkeyModifiers =
    "focusedVolumeDownHotkeyModifiers";
inline constexpr std::string_view kFocusedVolumeDownHotkeyKeyChar =
    "focusedVolumeDownHotkeyKeyChar";
// The three stored preferences of one global shortcut.
struct ShortcutKeys {
  std::string_view keyCode;
  std::string_view modifiers;
  std::string_view keyChar;
};
// Every global shortcut's, in the order of their ids: mute-all, show/hide of the mixer, mute of
// the focused app, the focused app up, down.
inline constexpr ShortcutKeys kShortcuts[] = {
    {kHotkeyKeyCode, kHotkeyModifiers, kHotkeyKeyChar},
    {kPopoverHotkeyKeyCode, kPopoverHotkeyModifiers, kPopoverHotkeyKeyChar},
    {kMuteFocusedHotkeyKeyCode, kMuteFocusedHotkeyModifiers, kMuteFocusedHotkeyKeyChar},
    {kFocusedVolumeUpHotkeyKeyCode, kFocusedVolumeUpHotkeyModifiers, kFocusedVolumeUpHotkeyKeyChar},
    {kFocusedVolumeDownHotkeyKeyCode, kFocusedVolumeDownHotkeyModifiers,
     kFocusedVolumeDownHotkeyKeyChar},
};
inline constexpr std::string_view kHiddenApps = "hiddenApps";            // array of bundle ids
inline constexpr std::string_view kOnboardingShown = "onboardingShown";  // boolean
inline constexpr std::string_view kSelectedOutputDevice = "selectedOutputDevice";  // string

// Per-application state, kept by the application model; each table is read and written whole.
// bundle id -> volume on the current output device
inline constexpr std::string_view kSavedVolumes = "savedVolumes";
// device UID (or "default") -> (bundle id -> volume)
inline constexpr std::string_view kDeviceSpecificVolumes = "deviceSpecificVolumes";
// bundle id -> device UIDs in selection order (older stores: bundle id -> one device UID)
inline constexpr std::string_view kAppDeviceRouting = "appDeviceRouting";
// bundle id -> (device UID -> volume)
inline constexpr std::string_view kAppPerDeviceVolumes = "appPerDeviceVolumes";

// The registered defaults. A key code of -1 means "no hotkey chosen", which a key code of 0 (a
// real key) could not say; the integer read of an absent key gives 0.
inline constexpr std::int64_t kNoHotkey = -1;
inline constexpr float kDefaultVolumeDefault = 1.0f;
inline constexpr bool kLaunchAtLoginDefault = true;
inline constexpr bool kOnboardingShownDefault = false;

}  // namespace prefs

// Registers the defaults above (volume, login item, every hotkey's key code, onboarding) in the
// store's registration domain. Called once at launch, before anything reads the store.
void registerDefaults(PreferencesStore& store);

}  // namespace mixelot
