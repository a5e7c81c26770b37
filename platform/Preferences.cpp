#include "platform/Preferences.h"

namespace mixelot {

void registerDefaults(PreferencesStore& store) {
  store.registerDefaults({
      {std::string(prefs::kDefaultVolume), prefs::kDefaultVolumeDefault},
      {std::string(prefs::kLaunchAtLogin), prefs::kLaunchAtLoginDefault},
      {std::string(prefs::kHotkeyKeyCode), prefs::kNoHotkey},
      {std::string(prefs::kPopoverHotkeyKeyCode), prefs::kNoHotkey},
      {std::string(prefs::kMuteFocusedHotkeyKeyCode), prefs::kNoHotkey},
      {std::string(prefs::kFocusedVolumeUpHotkeyKeyCode), prefs::kNoHotkey},
      {std::string(prefs::kFocusedVolumeDownHotkeyKeyCode), prefs::kNoHotkey},
      {std::string(prefs::kOnboardingShown), prefs::kOnboardingShownDefault},
  });
}

}  // namespace mixelot
