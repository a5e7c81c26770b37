#include "platform/linux/DesktopEntryIndex.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/TempFolder.h"

namespace mixelot {
namespace {

namespace fs = std::filesystem;

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
}

}  // namespace
}  // namespace mixelot
