#include "platform/SystemLog.h"

#include <gtest/gtest.h>

namespace mixelot {
namespace {

TEST(SystemLog, LinesCarryThePrefixAndCaptureRestoresThePreviousSink) {
  CapturingLog outer;
  {
    CapturingLog inner;
    logLine("Tap active");
    EXPECT_EQ(inner.lines(), std::vector<std::string>{"[Mixelot] Tap active"});
  }
  logLine("after");
  EXPECT_EQ(outer.lines(), std::vector<std::string>{"[Mixelot] after"});
}

}  // namespace
}  // namespace mixelot
