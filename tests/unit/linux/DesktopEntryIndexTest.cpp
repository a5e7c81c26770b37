#include "platform/linux/DesktopEntryIndex.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/TempFolder.h"

namespace mixelot {
namespace {

namespace fs = std::filesystem;

TEST(AppIdFromCgroup, ReadsTheIdOutOfScopesAndServices) {
  EXPECT_EQ(appIdFromCgroup("0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
                            "app-gnome-org.gnome.Rhythmbox3-4242.scope\n"),
            "org.gnome.Rhythmbox3");
  EXPECT_EQ(appIdFromCgroup("0::/user.slice/app.slice/app-flatpak-org.mozilla.firefox-99.scope"),
            "org.mozilla.firefox");
  EXPECT_EQ(appIdFromCgroup("0::/app.slice/app-org.kde.elisa@a1b2c3.service"), "org.kde.elisa");
  // Dashes inside the id are escaped, so they never split it.
  EXPECT_EQ(appIdFromCgroup("0::/app.slice/app-gnome-my\\x2dplayer-12.scope"), "my-player");
  EXPECT_EQ(appIdFromCgroup("0::/user.slice/user-1000.slice/session-2.scope"), std::nullopt);
  EXPECT_EQ(appIdFromCgroup("0::/app.slice/pipewire.service"), std::nullopt);
  EXPECT_EQ(appIdFromCgroup(""), std::nullopt);
}

class DesktopEntryIndexTest : public ::testing::Test {
 protected:
  void write(const fs::path& relative, const std::string& text) {
    fs::create_directories((root_ / relative).parent_path());
    std::ofstream(root_ / relative) << text;
  }
  // GIO drops entries whose program does not exist, so the tests' programs must.
  std::string program(const std::string& name) {
    fs::path path = root_ / "bin" / name;
    write(fs::relative(path, root_), "#!/bin/sh\n");
    fs::permissions(path, fs::perms::owner_all);
    return path.string();
  }
  testsupport::TempFolder folder_;
  fs::path root_ = folder_.path();
};

TEST_F(DesktopEntryIndexTest, EarlierFoldersWinAndProcessesMatchByProgramClassOrId) {
  std::string player = program("splayer");
  std::string radio = program("radio-bin");
  write("home/applications/org.example.Player.desktop",
        "[Desktop Entry]\nType=Application\nName=Player (mine)\nExec=" + player +
            " %U\nIcon=player-mine\n");
  write("sys/applications/org.example.Player.desktop",
        "[Desktop Entry]\nType=Application\nName=Player\nExec=" + player + "\nIcon=player\n");
  write("sys/applications/kde/radio.desktop",
        "[Desktop Entry]\nType=Application\nName=Radio\nExec=" + radio +
            "\nStartupWMClass=RadioApp\n");
  write("sys/applications/org.example.Term.desktop",
        "[Desktop Entry]\nType=Application\nName=Term\nExec=" + radio +
            "\nCategories=System;TerminalEmulator\n");
  write("sys/applications/gone.desktop",
        "[Desktop Entry]\nType=Application\nName=Gone\nExec=gone\nHidden=true\n");
  write("sys/applications/broken.desktop", "this is not a desktop entry");

  auto index = DesktopEntryIndex::load(
      {(root_ / "home").string(), (root_ / "sys").string(), "/nonexistent"});
  ASSERT_NE(index.byId("org.example.Player"), nullptr);
  EXPECT_EQ(index.byId("org.example.Player")->name, "Player (mine)");
  EXPECT_EQ(index.byId("org.example.Player")->icon, "player-mine");
  EXPECT_EQ(index.byId("gone"), nullptr);
  EXPECT_FALSE(index.byId("kde-radio")->terminalEmulator);
  EXPECT_TRUE(index.byId("org.example.Term")->terminalEmulator);
  EXPECT_EQ(index.byId("broken"), nullptr);

  ASSERT_NE(index.matchExecutable("/usr/bin/splayer"), nullptr);
  EXPECT_EQ(index.matchExecutable("/usr/bin/splayer")->id, "org.example.Player");
  ASSERT_NE(index.matchExecutable("/usr/lib/radio/radioapp"), nullptr);
  EXPECT_EQ(index.matchExecutable("/usr/lib/radio/radioapp")->id, "kde-radio");
  EXPECT_EQ(index.matchExecutable("/usr/bin/unknown"), nullptr);
  EXPECT_EQ(index.matchExecutable(""), nullptr);
}

}  // namespace
}  // namespace mixelot
