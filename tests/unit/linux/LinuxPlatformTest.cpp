// The Linux desktop services: desktop entries and cgroups, the instance lock, the capture
// permission, running applications, and the autostart login item.
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "platform/linux/DesktopEntryIndex.h"
#include "platform/linux/InstanceLock.h"
#include "platform/linux/LinuxPermissionService.h"
#include "platform/linux/LinuxProcessInfo.h"
#include "platform/linux/LinuxWorkspace.h"
#include "platform/linux/ProcFs.h"
#include "platform/linux/XdgAutostartLoginItem.h"
#include "support/TempFolder.h"

namespace mixelot {
namespace {

namespace fs = std::filesystem;
using Status = LoginItem::Status;

TEST(AppIdFromCgroup, ReadsTheIdOutOfScopesAndServices) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
       "app-gnome-org.gnome.Rhythmbox3-4242.scope\n",
       "org.gnome.Rhythmbox3"},
      {"0::/user.slice/app.slice/app-flatpak-org.mozilla.firefox-99.scope", "org.mozilla.firefox"},
      {"0::/app.slice/app-org.kde.elisa@a1b2c3.service", "org.kde.elisa"},
      // Dashes inside the id are escaped, so they never split it.
      {"0::/app.slice/app-gnome-my\\x2dplayer-12.scope", "my-player"},
      {"0::/user.slice/user-1000.slice/session-2.scope", std::nullopt},
      {"0::/app.slice/pipewire.service", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [cgroup, id] : cases) EXPECT_EQ(appIdFromCgroup(cgroup), id) << cgroup;
}

TEST(DesktopEntryIndex, EarlierFoldersWinAndProcessesMatchByProgramClassOrId) {
  testsupport::TempFolder folder;
  fs::path root = folder.path();
  auto write = [&](const fs::path& relative, const std::string& text) {
    fs::create_directories((root / relative).parent_path());
    std::ofstream(root / relative) << text;
  };
  // GIO drops entries whose program does not exist, so the tests' programs must.
  std::string player = root / "bin/splayer", radio = root / "bin/radio-bin";
  for (const std::string& program : {player, radio}) {
    write(fs::relative(program, root), "#!/bin/sh\n");
    fs::permissions(program, fs::perms::owner_all);
  }
  const std::string head = "[Desktop Entry]\nType=Application\n";
  write("home/applications/org.example.Player.desktop",
        head + "Name=Player (mine)\nExec=" + player + " %U\nIcon=player-mine\n");
  write("sys/applications/org.example.Player.desktop",
        head + "Name=Player\nExec=" + player + "\nIcon=player\n");
  write("sys/applications/kde/radio.desktop",
        head + "Name=Radio\nExec=" + radio + "\nStartupWMClass=RadioApp\n");
  write("sys/applications/org.example.Term.desktop",
        head + "Name=Term\nExec=" + radio + "\nCategories=System;TerminalEmulator\n");
  write("sys/applications/gone.desktop", head + "Name=Gone\nExec=gone\nHidden=true\n");
  write("sys/applications/broken.desktop", "this is not a desktop entry");

  auto index = DesktopEntryIndex::load({root / "home", root / "sys", "/nonexistent"});
  const DesktopEntry* mine = index.byId("org.example.Player");
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(mine->name, "Player (mine)");
  EXPECT_EQ(mine->icon, "player-mine");
  EXPECT_EQ(index.byId("gone"), nullptr);
  EXPECT_EQ(index.byId("broken"), nullptr);
  ASSERT_NE(index.byId("kde-radio"), nullptr);
  EXPECT_FALSE(index.byId("kde-radio")->terminalEmulator);
  EXPECT_TRUE(index.byId("org.example.Term")->terminalEmulator);

  auto match = [&](std::string_view executable) {
    const DesktopEntry* entry = index.matchExecutable(executable);
    return entry ? entry->id : "none";
  };
  EXPECT_EQ(match("/usr/bin/splayer"), "org.example.Player");
  EXPECT_EQ(match("/usr/lib/radio/radioapp"), "kde-radio");  // by window class
  EXPECT_EQ(match("/usr/bin/unknown"), "none");
  EXPECT_EQ(match(""), "none");
  EXPECT_EQ(index.matchName("player (MINE)")->id, "org.example.Player");
  EXPECT_EQ(index.matchName("Play"), nullptr);
}

TEST(DesktopEntryIndex, ProgramsBehindWrappersAndSymbolicLinksAreMatched) {
  // A browser's entry runs bin/browser-stable, a link to the vendor's start script beside the
  // real binary, which is what plays: matched by the script's real path (run as "sh script")
  // and by the install folder. A game launcher is marked as one.
  testsupport::TempFolder root;
  fs::create_directories(root / "opt/vendor/browser");
  fs::create_directories(root / "bin");
  fs::create_directories(root / "share/applications");
  const std::string script = root / "opt/vendor/browser/browser-launcher";
  std::ofstream(script) << "#!/bin/sh\nexec \"$(dirname \"$0\")/browser-bin\" \"$@\"\n";
  fs::permissions(script, fs::perms::owner_all);
  fs::create_symlink(script, root / "bin/browser-stable");
  std::ofstream(root / "share/applications/org.vendor.Browser.desktop")
      << "[Desktop Entry]\nType=Application\nName=Vendor Browser\nExec="
      << root / "bin/browser-stable"
      << " %U\n";
  std::ofstream(root / "share/applications/steam.desktop")
      << "[Desktop Entry]\nType=Application\nName=Steam\nExec=sh\n";
  auto index = DesktopEntryIndex::load({root / "share"});
  auto match = [&](const fs::path& executable) {
    const DesktopEntry* entry = index.matchExecutable(executable.string());
    return entry ? entry->id : "none";
  };
  EXPECT_EQ(match(script), "org.vendor.Browser");
  EXPECT_EQ(match(root / "opt/vendor/browser/browser-bin"), "org.vendor.Browser");
  EXPECT_EQ(match(root / "opt/vendor/browser/helpers/gpu"), "org.vendor.Browser");
  EXPECT_EQ(match(root / "opt/vendor/other/other-bin"), "none");
  EXPECT_TRUE(index.byId("steam")->hostsOtherPrograms());
  EXPECT_FALSE(index.byId("org.vendor.Browser")->hostsOtherPrograms());
}

TEST(InstanceLock, OneHolderAtATimeAndTheNextOneIsToldWho) {
  testsupport::TempFolder folder;
  const std::string path = folder / "sub/com.corvana.Mixelot.lock";
  {
    InstanceLock first(path);
    ASSERT_EQ(first.state(), InstanceLock::State::kHeld) << first.error();

    // Another process, as a second launch would be.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      InstanceLock second(path);
      _exit(second.state() == InstanceLock::State::kHeldElsewhere && second.holder() == getppid()
                ? 0
                : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  // Released with its holder.
  InstanceLock third(path);
  EXPECT_EQ(third.state(), InstanceLock::State::kHeld);

  InstanceLock nowhere("/proc/no-such-folder/x.lock");
  EXPECT_EQ(nowhere.state(), InstanceLock::State::kUnavailable);
  EXPECT_FALSE(nowhere.error().empty());
}

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

TEST(ProcFs, ParentPidSurvivesOddCommandNames) {
  EXPECT_EQ(procfs::parentPidFromStat("42 (a) b (c)) S 7 42 42 0"), 7);
  EXPECT_EQ(procfs::parentPidFromStat("42 (sleep) S 1 42"), 1);
  EXPECT_EQ(procfs::parentPidFromStat("garbage"), std::nullopt);
  EXPECT_EQ(
      procfs::startTimeFromStat("42 (a) b (c)) S 7 42 42 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 "
                                "0 98765 1000 200"),
      98765u);
  EXPECT_EQ(procfs::startTimeFromStat("42 (sleep) S 1 42"), std::nullopt);
  // The name survives spaces and parentheses; an exec (a new name) makes a new stamp.
  auto stamp = procfs::stampFromStat(
      "42 (a) b (c)) S 7 42 42 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 98765 1000 200");
  ASSERT_TRUE(stamp);
  EXPECT_EQ(stamp->command, "a) b (c)");
  EXPECT_EQ(stamp->startTime, 98765u);
  EXPECT_NE(*stamp, (procfs::ProcessStamp{98765, "player"}));
  EXPECT_GE(procfs::ticksSinceBoot().value_or(0), procfs::startTime(::getpid()).value_or(~0ull));
  EXPECT_TRUE(procfs::startTime(::getpid()));
  EXPECT_EQ(procfs::namespacePids(::getpid()).back(), ::getpid());
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
  // Later scans answer from what earlier ones kept (the program keeps answers after 10 s), alike.
  workspace.setSettledAge(0);
  usleep(20000);
  for (int scan = 0; scan < 3; ++scan) {
    auto again = workspace.runningApplications();
    auto listed = std::ranges::find(again, app, &RunningApplication::pid);
    ASSERT_NE(listed, again.end()) << "scan " << scan;
    EXPECT_EQ(listed->bundleIdentifier, "org.example.Tone");
    EXPECT_FALSE(std::ranges::any_of(again, [&](const auto& other) { return other.pid == child; }));
  }

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

TEST(XdgAutostartLoginItem, RegisterWritesTheEntryUnregisterDeletesItFailuresAreReported) {
  testsupport::TempFolder root;
  XdgAutostartLoginItem item(root.path(), "com.corvana.Mixelot", "/usr/bin/mixelot");
  std::string error;
  EXPECT_EQ(item.status(), Status::kNotRegistered);
  // Unregistering what is not there is not a failure.
  EXPECT_TRUE(item.unregisterItem(error)) << error;
  ASSERT_TRUE(item.registerItem(error)) << error;
  EXPECT_EQ(item.path(), root / "autostart/com.corvana.Mixelot.desktop");
  EXPECT_EQ(item.status(), Status::kEnabled);
  ASSERT_TRUE(item.unregisterItem(error)) << error;
  EXPECT_FALSE(std::filesystem::exists(item.path()));
  EXPECT_EQ(item.status(), Status::kNotRegistered);

  // The user's own entry with Hidden=true counts as disabled, and registering enables it.
  std::ofstream(item.path()) << "[Desktop Entry]\nType=Application\nName=Mixelot\nExec=mixelot\n"
                                "Hidden=true\n";
  EXPECT_EQ(item.status(), Status::kNotRegistered);
  ASSERT_TRUE(item.registerItem(error)) << error;
  EXPECT_EQ(item.status(), Status::kEnabled);

  // A file where the folder should be: fails for root too, unlike a permission check.
  testsupport::TempFolder blocked;
  std::ofstream(blocked / "autostart") << "not a folder";
  XdgAutostartLoginItem nowhere(blocked.path(), "com.corvana.Mixelot", "mixelot");
  EXPECT_FALSE(nowhere.registerItem(error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(nowhere.status(), Status::kNotRegistered);
}

TEST(XdgAutostartLoginItem, AProgramPathWithSpacesAndShellCharactersReadsBackAsOneArgument) {
  testsupport::TempFolder root;
  const std::string program = "/opt/My Apps/mix\"el$ot`\\";
  XdgAutostartLoginItem item(root.path(), "com.corvana.Mixelot", program);
  std::string error;
  ASSERT_TRUE(item.registerItem(error)) << error;

  // The desktop's reading: the key file's own unescaping, then Exec's quoting rules (which agree
  // with the shell's double quotes).
  g_autoptr(GKeyFile) file = g_key_file_new();
  ASSERT_TRUE(g_key_file_load_from_file(file, item.path().c_str(), G_KEY_FILE_NONE, nullptr));
  g_autofree char* exec = g_key_file_get_string(file, "Desktop Entry", "Exec", nullptr);
  ASSERT_NE(exec, nullptr);
  int argc = 0;
  g_auto(GStrv) argv = nullptr;
  ASSERT_TRUE(g_shell_parse_argv(exec, &argc, &argv, nullptr)) << exec;
  EXPECT_EQ(argc, 1) << exec;
  EXPECT_EQ(std::string(argv[0]), program) << exec;
  EXPECT_EQ(XdgAutostartLoginItem::quoteExecArgument("/usr/bin/mixelot"), "/usr/bin/mixelot");
  EXPECT_EQ(XdgAutostartLoginItem::quoteExecArgument("/opt/100%/mixelot"), "/opt/100%%/mixelot");

  // The desktop's own checker, where it is installed (scripts/install-deps brings it).
  if (std::system("command -v desktop-file-validate >/dev/null") == 0) {
    std::string command = "desktop-file-validate '" + item.path() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
  }
}

}  // namespace
}  // namespace mixelot
