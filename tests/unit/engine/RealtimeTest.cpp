// The I/O block runs on the audio backend's real-time thread: it may not touch the heap, and it
// shares only relaxed atomics with the main thread. The first test replaces the allocator of this
// test binary to catch any heap use while a cycle runs; the second is meant for the thread
// sanitizer build, which reports any unsynchronised access between the two threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <thread>

#include "EngineFixture.h"
#include "engine/Gain.h"

namespace {

constinit thread_local bool tInRealtime = false;
std::atomic<int> heapTouches{0};

void noteHeapUse() {
  if (tInRealtime) heapTouches.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

// ---- allocator interposition
// --------------------------------------------------------------------- operator new and delete in
// every build; malloc and free too where no sanitizer owns them.

void* operator new(std::size_t size) {
  noteHeapUse();
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  return ::operator new(size);
}
void* operator new(std::size_t size, std::align_val_t align) {
  noteHeapUse();
  const auto alignment = static_cast<std::size_t>(align);
  if (void* p = std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment))
    return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t align) {
  return ::operator new(size, align);
}
void operator delete(void* p) noexcept {
  if (p) noteHeapUse();
  std::free(p);
}
void operator delete[](void* p) noexcept {
  ::operator delete(p);
}
void operator delete(void* p, std::size_t) noexcept {
  ::operator delete(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  ::operator delete(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  ::operator delete(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  ::operator delete(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  ::operator delete(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  ::operator delete(p);
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define MIXELOT_SANITIZER_OWNS_MALLOC 1
#endif
#endif
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && \
    !defined(MIXELOT_SANITIZER_OWNS_MALLOC)
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void __libc_free(void*);

void* malloc(std::size_t size) {
  noteHeapUse();
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
  noteHeapUse();
  return __libc_calloc(count, size);
}
void* realloc(void* p, std::size_t size) {
  noteHeapUse();
  return __libc_realloc(p, size);
}
void free(void* p) {
  if (p) noteHeapUse();
  __libc_free(p);
}
}
#endif

namespace mixelot::testing {
namespace {

// Marks the current thread as the real-time thread for its lifetime.
struct RealtimeScope {
  RealtimeScope() { tInRealtime = true; }
  ~RealtimeScope() { tInRealtime = false; }
};

class RealtimeTest : public EngineTest {
 protected:
  void SetUp() override {
    engine.createTap("com.a", {processA});
    state = tap("com.a::BuiltInSpeakers");
    ASSERT_TRUE(state);
    for (auto& buffer : inputs) buffer.assign(2048, 0.5f);
    for (auto& buffer : outputs) buffer.assign(2048, 0.0f);
    for (size_t i = 0; i < 2; ++i)
      in[i] = {2, static_cast<uint32_t>(inputs[i].size() * sizeof(float)), inputs[i].data()};
    for (size_t i = 0; i < 3; ++i)
      out[i] = {2, static_cast<uint32_t>(outputs[i].size() * sizeof(float)), outputs[i].data()};
  }
  int cycle() { return sim.runIOCycle(state->aggregateDeviceID, in, out); }

  SoftwareVolumeGuard softwareVolumeGuard;
  std::shared_ptr<AppTapState> state;
  std::vector<float> inputs[2], outputs[3];
  hal::AudioBuffer in[2], out[3];
};

TEST_F(RealtimeTest, CycleNeverTouchesTheHeap) {
  {
    // The detector itself works: a plain allocation on a marked thread is caught.
    RealtimeScope realtime;
    delete new volatile int(1);
  }
  ASSERT_GT(heapTouches.exchange(0), 0);

  // Every path of the block: unity, ramp, mute, settled gain, and back up to the copy.
  int ran = 0;
  auto run = [&](int cycles) {
    RealtimeScope realtime;
    for (int i = 0; i < cycles; ++i) ran += cycle();
  };
  run(3);
  state->targetVolume = 0.3f;
  run(3);
  state->isMuted = true;
  run(10);
  state->isMuted = false;
  softwareVolume = 0.5f;
  run(3);
  state->targetVolume = 1.0f;
  softwareVolume = 1.0f;
  run(20);
  EXPECT_EQ(ran, 39);
  EXPECT_TRUE(gain::isUnity(state->currentGain, 1.0f));  // ended on the copy path
  EXPECT_EQ(heapTouches.load(), 0);
}

TEST_F(RealtimeTest, MainThreadChangesVolumesWhileTheBlockRuns) {
  std::atomic<bool> stop{false};
  std::atomic<int> cycles{0};
  std::thread audio([&] {
    while (!stop.load()) cycles += cycle();
  });

  for (int i = 0; cycles.load() < 2000 && i < 2'000'000; ++i) {
    state->targetVolume.store(static_cast<float>(i % 11) / 10.0f, std::memory_order_relaxed);
    state->isMuted.store(i % 7 == 0, std::memory_order_relaxed);
    softwareVolume.store(i % 3 == 0 ? 0.5f : 1.0f, std::memory_order_relaxed);
    engine.setAppVolume("com.a", static_cast<float>(i % 5) / 4.0f);
    engine.setAppMuted("com.a", i % 13 == 0);
  }
  // Tearing the chain down while cycles keep coming: the stop waits for a running cycle, and
  // later cycles find nothing to run.
  engine.removeTaps("com.a");
  const int afterRemoval = cycles.load();
  while (cycles.load() == afterRemoval && sim.runningIOProcCount() != 0) std::this_thread::yield();
  stop = true;
  audio.join();

  EXPECT_GE(cycles.load(), 1);
  EXPECT_FALSE(std::isnan(state->currentGain));
  EXPECT_GE(state->currentGain, 0.0f);
  EXPECT_LE(state->currentGain, 1.0f);
  for (const auto& buffer : outputs)
    for (float sample : buffer) ASSERT_TRUE(sample >= 0.0f && sample <= 0.5f);
}

}  // namespace
}  // namespace mixelot::testing
