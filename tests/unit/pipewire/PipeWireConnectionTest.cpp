// The connection's attempts against a daemon that is not there. No daemon: the remote names a
// socket that does not exist.

#include "engine/hal/pipewire/PipeWireConnection.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <vector>

#include "platform/ManualMainQueue.h"

namespace mixelot::hal::pipewire {
namespace {

TEST(PipeWireConnectionTest, AttemptsBackOffFromATenthOfASecondToFiveSeconds) {
  ::setenv("PIPEWIRE_REMOTE", "mixelot-test-no-such-daemon", 1);
  ManualMainQueue queue;
  int calls = 0;
  auto count = [&calls] { ++calls; };
  PipeWireConnection connection(
      queue, {.attach = [&](pw_core*) { ++calls; }, .ready = count, .lost = count}, Seconds{2.0});
  EXPECT_EQ(connection.attempts(), 0u);
  connection.start();
  ASSERT_EQ(connection.attempts(), 1u) << "the first attempt is made at once";

  // When each later attempt was made, on virtual time in steps of 10 ms.
  std::vector<double> times;
  while (queue.elapsed() < Seconds{17.0}) {
    const uint64_t before = connection.attempts();
    queue.advance(Seconds{0.01});
    if (connection.attempts() != before) times.push_back(queue.elapsed().count());
  }
  const std::vector<double> expected = {0.1, 0.3, 0.7, 1.5, 3.1, 6.3, 11.3, 16.3};
  ASSERT_EQ(times.size(), expected.size());
  for (size_t i = 0; i < times.size(); ++i) EXPECT_NEAR(times[i], expected[i], 0.015) << i;

  EXPECT_FALSE(connection.isConnected());
  EXPECT_EQ(connection.generation(), 0u);
  EXPECT_EQ(connection.core(), nullptr);
  EXPECT_FALSE(connection.roundtrip()) << "no core, nothing to wait for";
  connection.handleLoss();  // nothing to lose: no handler runs, no extra attempt is scheduled
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(queue.pendingTimers(), 1u);
}

}  // namespace
}  // namespace mixelot::hal::pipewire
