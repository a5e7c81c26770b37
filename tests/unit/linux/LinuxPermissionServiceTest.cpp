#include "platform/linux/LinuxPermissionService.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/TempFolder.h"

namespace mixelot {
namespace {

TEST(LinuxPermissionService, TheAudioServersAnswerDecidesElseTheSandbox) {
  testsupport::TempFolder folder;
  LinuxPermissionService outside(folder / "flatpak-info");
  EXPECT_EQ(outside.preflight(), AudioPermissionStatus::authorized);
  bool called = false;
  EXPECT_FALSE(outside.request([&](bool) { called = true; }));
  EXPECT_FALSE(called);
  outside.setHasFullAudioAccess(false);
  EXPECT_EQ(outside.preflight(), AudioPermissionStatus::denied);

  std::ofstream(folder / "flatpak-info") << "[Application]\nname=com.corvana.Mixelot\n";
  LinuxPermissionService sandboxed(folder / "flatpak-info");
  EXPECT_EQ(sandboxed.preflight(), AudioPermissionStatus::denied);
  // A sandbox the session manager has granted full access is authorized.
  sandboxed.setHasFullAudioAccess(true);
  EXPECT_EQ(sandboxed.preflight(), AudioPermissionStatus::authorized);
}

}  // namespace
}  // namespace mixelot
