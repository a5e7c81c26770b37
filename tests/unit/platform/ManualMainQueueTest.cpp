#include "platform/ManualMainQueue.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace mixelot {
namespace {

TEST(ManualMainQueue, TimersFireInTimeOrderOnVirtualTimeUntilCancelledOrDestroyed) {
  ManualMainQueue queue;
  std::vector<std::string> fired;
  auto slow = queue.schedule(Seconds(2.0), false, [&] { fired.push_back("slow"); });
  auto fast = queue.schedule(Seconds(0.5), false, [&] { fired.push_back("fast"); });
  auto tick = queue.schedule(Seconds(1.0), true, [&] { fired.push_back("tick"); });
  queue.schedule(Seconds(1.0), true, [&] { fired.push_back("destroyed"); });
  auto cancelled = queue.schedule(Seconds(1.0), false, [&] { fired.push_back("cancelled"); });
  cancelled.cancel();
  // A repeating timer that cancels itself from its own task stops after that run.
  Timer self;
  self = queue.schedule(Seconds(1.5), true, [&] {
    fired.push_back("self");
    self.cancel();
  });

  queue.advance(Seconds(0.4));
  EXPECT_TRUE(fired.empty());
  queue.advance(Seconds(2.0));
  EXPECT_EQ(fired, (std::vector<std::string>{"fast", "tick", "self", "slow", "tick"}));
  EXPECT_NEAR(queue.elapsed().count(), 2.4, 1e-9);
  EXPECT_FALSE(slow.isActive());
  tick.cancel();
  EXPECT_EQ(queue.pendingTimers(), 0u);
}

TEST(ManualMainQueue, PostIsThreadSafeAndRunsOnTheDrainingThread) {
  ManualMainQueue queue;
  int count = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 100; ++i) queue.post([&] { ++count; });
    });
  for (auto& thread : threads) thread.join();
  // Tasks posted by tasks run in the same drain.
  queue.post([&] { queue.post([&] { ++count; }); });
  EXPECT_EQ(queue.runUntilIdle(), 402u);
  EXPECT_EQ(count, 401);
}

}  // namespace
}  // namespace mixelot
