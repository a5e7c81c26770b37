#include <gtest/gtest.h>

#include "model/DiscoveryRules.h"

namespace mixelot {
namespace {

TEST(DiscoveryRulesTest, DotRuleIgnoresEmptyComponentsAndNeedsABundle) {
  RunningAppIndex index({{10, "com.example.tool", true, "Tool", std::nullopt},
                         {11, "org.example", true, "Example", std::nullopt},
                         {12, "net.example.cli", false, "Cli", std::nullopt}});
  auto owner = [&](std::string id) {
    const auto* app = findAppForHelper(id, index);
    return app ? *app->bundleIdentifier : std::string("none");
  };
  EXPECT_EQ(owner("com.example.tool.worker"), "com.example.tool");
  EXPECT_EQ(owner(".com..example.tool.worker."), "com.example.tool");
  EXPECT_EQ(owner("org.example.worker"), "org.example");
  EXPECT_EQ(owner("example.worker"), "none");
  EXPECT_EQ(owner("net.example.cli.worker"), "none");  // not an application bundle
  EXPECT_EQ(findAppForHelper(std::nullopt, index), nullptr);
}

}  // namespace
}  // namespace mixelot
