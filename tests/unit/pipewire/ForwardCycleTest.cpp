// One cycle of a forward filter, on buffers of our own (no daemon), under the heap watch: it runs
// on PipeWire's data thread, where touching the heap can miss the deadline.
#include <gtest/gtest.h>

#include <vector>

#include "engine/hal/pipewire/ForwardCycle.h"
#include "support/HeapWatch.h"

namespace mixelot::hal::pipewire {
namespace {

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

    cycle.stop();
    cycle.process({left.data(), right.data()}, {outLeft.data(), nullptr}, 256);
    EXPECT_EQ(outLeft[0], 0.0f);
  }
  EXPECT_EQ(takeHeapTouches(), 0);
}

}  // namespace
}  // namespace mixelot::hal::pipewire
