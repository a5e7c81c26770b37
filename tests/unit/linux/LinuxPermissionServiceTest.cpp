#include "platform/linux/LinuxPermissionService.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/TempFolder.h"

namespace mixelot {
namespace {

TEST(LinuxPermissionService, AuthorizedOutsideASandboxDeniedInsideOrWithoutFullAccess) {
  testsupport::TempFolder folder;
  LinuxPermissionService service(folder / "flatpak-info");
  EXPECT_EQ(service.preflight(), AudioPermissionStatus::authorized);
  bool called = false;
  EXPECT_FALSE(service.request([&](bool) { called = true; }));
  EXPECT_FALSE(called);

  service.setHasFullAudioAccess(false);
  EXPECT_EQ(service.preflight(), AudioPermissionStatus::denied);
  service.setHasFullAudioAccess(true);
  std::ofstream(folder / "flatpak-info") << "[Application]\nname=com.corvana.Mixelot\n";
  EXPECT_EQ(service.preflight(), AudioPermissionStatus::denied);
}

}  // namespace
}  // namespace mixelot
