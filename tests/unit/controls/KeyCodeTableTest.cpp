#include "controls/KeyCodeTable.h"

#include <gtest/gtest.h>

#include <set>

namespace mixelot::controls {

TEST(KeyCodeTable, BothDirectionsAreOneToOneAndGapsHaveNoKey) {
  EXPECT_EQ(evdevFromKeyCode(53), 1);  // Escape
  EXPECT_EQ(x11KeycodeFromKeyCode(0), 38);
  EXPECT_EQ(keyCodeFromX11Keycode(38), 0);
  EXPECT_FALSE(evdevFromKeyCode(-1));
  EXPECT_FALSE(evdevFromKeyCode(52));  // no key there
  EXPECT_FALSE(keyCodeFromEvdev(0));

  std::set<int> seen;
  for (std::int64_t code = 0; code < 128; ++code) {
    auto evdev = evdevFromKeyCode(code);
    if (!evdev) continue;
    EXPECT_TRUE(seen.insert(*evdev).second) << "evdev " << *evdev << " twice";
    EXPECT_EQ(keyCodeFromEvdev(*evdev), code);
  }
  EXPECT_GT(seen.size(), 100u);
}

}  // namespace mixelot::controls
