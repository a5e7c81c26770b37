#include <gtest/gtest.h>

#include "model/DiscoveryRules.h"

namespace mixelot {
namespace {

TEST(DiscoveryRulesTest, DotRuleIgnoresEmptyComponentsAndNeedsABundle) {
  RunningAppIndex index({{10, "com.example.tool", true, "Tool", std::nullopt},
                         {11, "org.example", true, "Example", std::nullopt},
                         {12, "net.example.cli", false, "Cli", std::nullopt},
                         {13, "com.google.Chrome.helper", true, "Helper", std::nullopt}});
  auto owner = [&](std::string id) {
    const auto* app = findAppForHelper(id, index);
    return app ? *app->bundleIdentifier : std::string("none");
  };
  EXPECT_EQ(owner("com.example.tool.worker"), "com.example.tool");
  EXPECT_EQ(owner(".com..example.tool.worker."), "com.example.tool");
  EXPECT_EQ(owner("org.example.worker"), "org.example");
  EXPECT_EQ(owner("example.worker"), "none");
  EXPECT_EQ(owner("net.example.cli.worker"), "none");  // not an application bundle
  // A helper table match is final: its application is not running, so the dot rule is not tried.
  EXPECT_EQ(owner("com.google.Chrome.helper.renderer"), "none");
  EXPECT_EQ(findAppForHelper(std::nullopt, index), nullptr);
}

TEST(DiscoveryRulesTest, LinuxShellsFileManagersAndTerminalsAreNeverListedTheirNeighboursAre) {
  for (auto id : {"org.gnome.Nautilus", "org.kde.dolphin", "org.gnome.Terminal", "org.kde.konsole",
                  "kitty", "com.corvana.Mixelot"})
    EXPECT_TRUE(isNonAudioApp(id)) << id;
  for (auto id :
       {"org.gnome.Shell", "org.gnome.Shell.Extensions", "org.kde.plasmashell", "pipewire-pulse"})
    EXPECT_TRUE(isSystemProcess(id)) << id;
  // Exact ids for apps: a player whose id merely starts like a terminal's stays.
  for (auto id : {"org.gnome.TerminalPlayer", "kitty-radio", "org.gnome.Rhythmbox3", "mpv"})
    EXPECT_FALSE(isNonAudioApp(id) || isSystemProcess(id)) << id;
}

}  // namespace
}  // namespace mixelot
