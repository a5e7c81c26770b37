// The connection's parts that need no daemon: listener hooks, the reconnect back-off, and one cycle
// of a forward filter.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <vector>

#include "engine/hal/pipewire/ForwardCycle.h"
#include "engine/hal/pipewire/PipeWireConnection.h"
#include "engine/hal/pipewire/PwHandles.h"
#include "platform/ManualMainQueue.h"
#include "support/HeapWatch.h"

namespace mixelot::hal::pipewire {
namespace {

// Listener hooks against a hook list of our own, standing in for a PipeWire object's.
int removals = 0;
// What an object installs on a hook it must hear about leaving (a filter's clears the process
// callback that the hook registered).
void objectRemovalHandler(spa_hook* hook) {
  ++removals;
  hook->priv = nullptr;
}

struct Registered {
  spa_hook_list list;
  Hook hook;
  Registered() {
    removals = 0;
    spa_hook_list_init(&list);
    spa_hook_list_append(&list, hook.get(), nullptr, nullptr);
    hook.get()->removed = objectRemovalHandler;
    hook.guard();
  }
};

TEST(HookTest, TheObjectsRemovalHandlerRunsOnceWhoeverRemovesTheHook) {
  {
    Registered byUs;
    byUs.hook.remove();
    EXPECT_EQ(removals, 1);
    EXPECT_TRUE(spa_list_is_empty(&byUs.list.list));
    byUs.hook.remove();
    EXPECT_EQ(removals, 1);
  }
  {
    // The object goes first and unlinks its hooks; ours then has nothing left to do.
    Registered byTheObject;
    spa_hook_list_clean(&byTheObject.list);
    EXPECT_EQ(removals, 1);
    byTheObject.hook.remove();
    EXPECT_EQ(removals, 1);
  }
  EXPECT_EQ(removals, 1);
}

// The remote names a socket that does not exist.
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

// The cycle runs on PipeWire's data thread, where touching the heap can miss the deadline.
using mixelot::testing::heapWatchWorks;
using mixelot::testing::RealtimeScope;
using mixelot::testing::takeHeapTouches;

TEST(ForwardCycleTest, InterleavesCallsTheBlockAndSpreadsBackWithoutTouchingTheHeap) {
  if (!heapWatchWorks()) GTEST_SKIP() << "the sanitizer runtime owns the allocator";
  {
    // The watch is in this binary too.
    RealtimeScope realtime;
    delete new volatile int(1);
  }
  ASSERT_GT(takeHeapTouches(), 0);
  constexpr uint32_t kLong = ForwardCycle::kMaxFrames + 16;
  std::vector<float> left(kLong, 0.25f), right(kLong, 0.5f);
  std::vector<float> outLeft(kLong, 9.0f), outRight(kLong, 9.0f);
  // Swaps the channels of each frame: a wrong interleave shows as a wrong channel.
  const IOBlock swap = [](std::span<const AudioBuffer> in, std::span<AudioBuffer> out) {
    const auto* from = static_cast<const float*>(in[0].data);
    auto* to = static_cast<float*>(out[0].data);
    for (uint32_t i = 0; i < in[0].dataByteSize / sizeof(float); i += 2) {
      to[i] = from[i + 1];
      to[i + 1] = from[i];
    }
  };
  ForwardCycle cycle;
  cycle.setBlock(&swap);
  const ForwardCycle::Outputs out{outLeft.data(), outRight.data()};
  {
    RealtimeScope realtime;
    cycle.process({left.data(), right.data()}, out, 256);  // not started yet: silence
    EXPECT_EQ(outLeft[0], 0.0f);
    EXPECT_EQ(outRight[255], 0.0f);
    EXPECT_EQ(outRight[256], 9.0f);

    cycle.start();
    cycle.process({left.data(), right.data()}, out, 256);
    EXPECT_EQ(outLeft[255], 0.5f);
    EXPECT_EQ(outRight[0], 0.25f);

    // A missing input channel is silence; a cycle past the quantum limit leaves the tail silent.
    cycle.process({left.data(), nullptr}, out, kLong);
    EXPECT_EQ(outLeft[0], 0.0f);
    EXPECT_EQ(outRight[ForwardCycle::kMaxFrames - 1], 0.25f);
    EXPECT_EQ(outRight[ForwardCycle::kMaxFrames], 0.0f);
    EXPECT_EQ(outRight[kLong - 1], 0.0f);

    // A frame count that is no multiple of the vector width, and the other channel missing.
    left[4] = 0.75f;
    cycle.process({nullptr, left.data()}, out, 7);
    EXPECT_EQ(outLeft[4], 0.75f);
    EXPECT_EQ(outLeft[6], 0.25f);
    EXPECT_EQ(outRight[6], 0.0f);
    cycle.process({left.data(), right.data()}, {nullptr, outRight.data()}, 5);
    EXPECT_EQ(outRight[4], 0.75f);

    cycle.stop();
    cycle.process({left.data(), right.data()}, {outLeft.data(), nullptr}, 256);
    EXPECT_EQ(outLeft[0], 0.0f);
  }
  EXPECT_EQ(takeHeapTouches(), 0);
}

}  // namespace
}  // namespace mixelot::hal::pipewire
