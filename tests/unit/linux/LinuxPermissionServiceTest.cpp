#include "platform/linux/LinuxPermissionService.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>

#include "support/TempFolder.h"

namespace mixelot {
namespace {

TEST(LinuxPermissionService, TheAudioServersAnswerDecidesElseTheSandbox) {
  testsupport::TempFolder folder;
  std::optional<bool> access;  // not connected yet
  LinuxPermissionService outside(folder / "flatpak-info");
  outside.setAccessProbe([&] { return access; });
  EXPECT_EQ(outside.preflight(), AudioPermissionStatus::authorized);
  bool called = false;
  EXPECT_FALSE(outside.request([&](bool) { called = true; }));
  access = false;
  EXPECT_EQ(outside.preflight(), AudioPermissionStatus::denied);
  outside.accessMayHaveChanged();
  EXPECT_FALSE(called);

  std::ofstream(folder / "flatpak-info") << "[Application]\nname=com.corvana.Mixelot\n";
  LinuxPermissionService sandboxed(folder / "flatpak-info");
  sandboxed.setAccessProbe([&] { return access; });
  EXPECT_EQ(sandboxed.preflight(), AudioPermissionStatus::denied);
  // Before the connection a sandbox's answer is unknown, not a refusal: a request waits for it.
  access.reset();
  EXPECT_EQ(sandboxed.preflight(), AudioPermissionStatus::unknown);
  std::optional<bool> answer;
  EXPECT_TRUE(sandboxed.request([&](bool granted) { answer = granted; }));
  sandboxed.accessMayHaveChanged();
  EXPECT_FALSE(answer);
  // A sandbox the session manager has granted full access is authorized.
  access = true;
  sandboxed.accessMayHaveChanged();
  EXPECT_EQ(answer, true);
  EXPECT_EQ(sandboxed.preflight(), AudioPermissionStatus::authorized);
}

}  // namespace
}  // namespace mixelot
