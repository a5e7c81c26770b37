#include "platform/linux/LinuxWorkspace.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/linux/LinuxProcessInfo.h"
#include "platform/linux/ProcFs.h"
#include "support/TempFolder.h"

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
  testsupport::TempFolder root;
  fs::create_directories(root / "share/applications");
  const std::string script = root / "tone-app";
  std::ofstream(script) << "#!/bin/sh\nsleep 30 &\nwait\n";
  fs::permissions(script, fs::perms::owner_all);
  std::ofstream(root / "share/applications/org.example.Tone.desktop")
      << "[Desktop Entry]\nType=Application\nName=Tone\nIcon=audio-x-generic\nExec=" << script
      << "\n";
  LinuxWorkspace workspace(DesktopEntryIndex::load({root / "share"}));

  pid_t app = fork();
  if (app == 0) {
    execl(script.c_str(), script.c_str(), nullptr);
    _exit(127);
  }
  // Wait for the script's child to appear.
  pid_t child = 0;
  for (int i = 0; i < 200 && child == 0; ++i, usleep(10000))
    for (pid_t pid : procfs::allPids())
      if (procfs::parentPid(pid) == app && procfs::executable(pid).value_or("").ends_with("sleep"))
        child = pid;
  ASSERT_NE(child, 0);

  auto found = workspace.runningApplication(app);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->bundleIdentifier, "org.example.Tone");
  EXPECT_TRUE(found->isApplicationBundle);
  EXPECT_EQ(found->localizedName, "Tone");
  EXPECT_EQ(found->iconName, "audio-x-generic");
  EXPECT_FALSE(workspace.runningApplication(child));
  auto running = workspace.runningApplications();
  EXPECT_TRUE(std::ranges::any_of(running, [&](const auto& listed) { return listed.pid == app; }));

  kill(child, SIGKILL);
  kill(app, SIGKILL);
  waitpid(app, nullptr, 0);
}

// Runs the thread's GLib main context (as Qt's loop does in the program) until `done` holds.
template <typename Done>
bool iterateUntil(Done done) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    g_main_context_iteration(nullptr, FALSE);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

TEST(LinuxWorkspace, AnEntryInstalledOrRemovedWhileWeRunIsKnownAtTheNextLookUp) {
  testsupport::TempFolder root;
  // A fresh account: the data folder is there, its applications folder not yet.
  fs::create_directories(root / "share");
  LinuxWorkspace workspace(std::vector<std::string>{root / "share"});
  EXPECT_EQ(workspace.index().size(), 0u);

  fs::create_directories(root / "share/applications/kde");
  std::string late = root / "share/applications/kde/late.desktop";
  // GIO skips an entry whose program is not on the PATH.
  std::ofstream(late) << "[Desktop Entry]\nType=Application\nName=Late\nExec=sh\n";
  ASSERT_TRUE(iterateUntil([&] { return workspace.index().byId("kde-late") != nullptr; }));
  EXPECT_EQ(workspace.index().byId("kde-late")->name, "Late");

  fs::remove(late);
  EXPECT_TRUE(iterateUntil([&] { return workspace.index().byId("kde-late") == nullptr; }));
}

}  // namespace
}  // namespace mixelot
