#include "platform/Preferences.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/ManualMainQueue.h"
#include "support/TempFolder.h"

namespace mixelot {
namespace {

TEST(Preferences, FreshStoreReadsTheRegisteredDefaultsAndOnlyThose) {
  testsupport::TempFolder folder;
  ManualMainQueue queue;
  PreferencesStore store(folder.path(), queue);
  registerDefaults(store);

  EXPECT_EQ(store.floatValue(prefs::kDefaultVolume), 1.0f);
  EXPECT_TRUE(store.object(prefs::kDefaultVolume)->isReal());
  EXPECT_TRUE(store.boolValue(prefs::kLaunchAtLogin));
  EXPECT_EQ(store.integerValue(prefs::kHotkeyKeyCode), -1);
  EXPECT_EQ(store.integerValue(prefs::kPopoverHotkeyKeyCode), -1);
  EXPECT_TRUE(store.object(prefs::kOnboardingShown)->isBool());
  EXPECT_FALSE(store.boolValue(prefs::kOnboardingShown));

  // Everything else is absent and reads with the store's plain fallbacks.
  for (auto key : {prefs::kHotkeyModifiers, prefs::kHotkeyKeyChar, prefs::kPopoverHotkeyModifiers,
                   prefs::kPopoverHotkeyKeyChar, prefs::kHiddenApps, prefs::kSelectedOutputDevice,
                   prefs::kSavedVolumes, prefs::kDeviceSpecificVolumes, prefs::kAppDeviceRouting,
                   prefs::kAppPerDeviceVolumes})
    EXPECT_FALSE(store.object(key)) << key;

  // A chosen key code 0 (a real key) is told apart from "none", and survives a restart.
  store.set(prefs::kHotkeyKeyCode, 0);
  ASSERT_TRUE(store.flush());
  PreferencesStore restarted(folder.path(), queue);
  registerDefaults(restarted);
  EXPECT_EQ(restarted.integerValue(prefs::kHotkeyKeyCode), 0);
  EXPECT_EQ(restarted.integerValue(prefs::kPopoverHotkeyKeyCode), -1);

  // Defaults never reach the file.
  std::stringstream text;
  text << std::ifstream(folder / "preferences.json").rdbuf();
  EXPECT_EQ(text.str().find("launchAtLogin"), std::string::npos) << text.str();
}

}  // namespace
}  // namespace mixelot
