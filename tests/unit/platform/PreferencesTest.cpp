#include "platform/Preferences.h"

#include <gtest/gtest.h>

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

}

}  // namespace
}  // namespace mixelot
