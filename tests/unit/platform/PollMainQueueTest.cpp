#include "platform/PollMainQueue.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

namespace mixelot {
namespace {

TEST(PollMainQueue, RunsPostsFromOtherThreadsTimersAndReadableDescriptorsUntilCancelled) {
  PollMainQueue queue;
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  int posted = 0, ticks = 0, reads = 0;
  auto tick = queue.schedule(Seconds(0.01), true, [&] { ++ticks; });
  auto watch = queue.watchReadable(pipeFds[0], [&] {
    char byte;
    if (::read(pipeFds[0], &byte, 1) == 1) ++reads;
  });
  std::thread other([&] {
    queue.post([&] { ++posted; });
    [[maybe_unused]] auto n = ::write(pipeFds[1], "x", 1);
  });
  EXPECT_TRUE(queue.runUntil([&] { return posted == 1 && reads == 1 && ticks >= 3; }, Seconds(2)));
  other.join();

  // After cancellation neither the timer nor the watch runs again; runFor waits its whole time.
  tick.cancel();
  watch.cancel();
  int ticksBefore = ticks;
  [[maybe_unused]] auto n = ::write(pipeFds[1], "y", 1);
  auto start = queue.now();
  queue.runFor(Seconds(0.05));
  EXPECT_GE(queue.now() - start, std::chrono::milliseconds(50));
  EXPECT_EQ(ticks, ticksBefore);
  EXPECT_EQ(reads, 1);
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);

  auto stop = queue.schedule(Seconds(0.02), false, [&] { queue.quit(); });
  queue.run();
  EXPECT_FALSE(stop.isActive());
}

}  // namespace
}  // namespace mixelot
