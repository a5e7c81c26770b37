#pragma once

namespace mixelot::testing {

// Counts heap use on a thread while a RealtimeScope lives there. The C allocator of the test
// binary is interposed (every operator new ends there); under a sanitizer its runtime owns the
// allocator and nothing is counted.
bool heapWatchWorks();
// Heap calls counted so far; resets the count.
int takeHeapTouches();

struct RealtimeScope {
  RealtimeScope();
  ~RealtimeScope();
  RealtimeScope(const RealtimeScope&) = delete;
  RealtimeScope& operator=(const RealtimeScope&) = delete;
};

}  // namespace mixelot::testing
