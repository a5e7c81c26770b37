#include "platform/linux/LinuxWorkspace.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "platform/linux/LinuxProcessInfo.h"
#include "platform/linux/ProcFs.h"

namespace mixelot {
namespace {

namespace fs = std::filesystem;

TEST(ProcFs, ParentPidSurvivesOddCommandNames) {
  EXPECT_EQ(procfs::parentPidFromStat("42 (a) b (c)) S 7 42 42 0"), 7);
  EXPECT_EQ(procfs::parentPidFromStat("42 (sleep) S 1 42"), 1);
  EXPECT_EQ(procfs::parentPidFromStat("garbage"), std::nullopt);
  LinuxProcessInfo info;
  EXPECT_EQ(info.parentProcessId(::getpid()), ::getppid());
  EXPECT_EQ(info.parentProcessId(0x7ffffff0), std::nullopt);
}

TEST(LinuxWorkspace, AScriptIsItsOwnApplicationAndItsChildIsNot) {
  char pattern[] = "/tmp/mixelot-ws-XXXXXX";
  fs::path root = mkdtemp(pattern);
  fs::create_directories(root / "share/applications");
  fs::path script = root / "tone-app";
  std::ofstream(script) << "#!/bin/sh\nsleep 30 &\nwait\n";
  fs::permissions(script, fs::perms::owner_all);
  std::ofstream(root / "share/applications/org.example.Tone.desktop")
      << "[Desktop Entry]\nType=Application\nName=Tone\nIcon=audio-x-generic\nExec="
      << script.string() << "\n";
  LinuxWorkspace workspace(DesktopEntryIndex::load({(root / "share").string()}));

  pid_t app = fork();
  if (app == 0) {
    execl(script.c_str(), script.c_str(), nullptr);
    _exit(127);
  }
  // Wait for the script's child to appear.
  pid_t child = 0;
  for (int i = 0; i < 200 && child == 0; ++i) {
    for (pid_t pid : procfs::allPids())
      if (procfs::parentPid(pid) == app && procfs::executable(pid).value_or("").ends_with("sleep"))
        child = pid;
    if (child == 0) usleep(10000);
  }
  ASSERT_NE(child, 0);

  auto found = workspace.runningApplication(app);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->bundleIdentifier, "org.example.Tone");
  EXPECT_TRUE(found->isApplicationBundle);
  EXPECT_EQ(found->localizedName, "Tone");
  EXPECT_EQ(found->iconName, "audio-x-generic");
  EXPECT_FALSE(workspace.runningApplication(child));
  bool listed = false;
  for (const auto& running : workspace.runningApplications()) listed |= running.pid == app;
  EXPECT_TRUE(listed);

  kill(child, SIGKILL);
  kill(app, SIGKILL);
  waitpid(app, nullptr, 0);
  fs::remove_all(root);
}

}  // namespace
}  // namespace mixelot
