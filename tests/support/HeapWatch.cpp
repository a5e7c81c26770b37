#include "support/HeapWatch.h"

#include <atomic>
#include <cstddef>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define MIXELOT_SANITIZER_OWNS_MALLOC 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define MIXELOT_SANITIZER_OWNS_MALLOC 1
#endif

namespace {
constinit thread_local bool tInRealtime = false;
std::atomic<int> heapTouches{0};
[[maybe_unused]] void noteHeapUse() {
  if (tInRealtime) heapTouches.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

#if !defined(MIXELOT_SANITIZER_OWNS_MALLOC)
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);

void* malloc(size_t size) {
  noteHeapUse();
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
  noteHeapUse();
  return __libc_calloc(count, size);
}
void* realloc(void* p, size_t size) {
  noteHeapUse();
  return __libc_realloc(p, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
  noteHeapUse();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
  noteHeapUse();
  *out = __libc_memalign(alignment, size);
  return *out ? 0 : 12;  // ENOMEM
}
void free(void* p) {
  if (p) noteHeapUse();
  __libc_free(p);
}
}
#endif

namespace mixelot::testing {

bool heapWatchWorks() {
#if defined(MIXELOT_SANITIZER_OWNS_MALLOC)
  return false;
#else
  return true;
#endif
}

int takeHeapTouches() {
  return heapTouches.exchange(0);
}

RealtimeScope::RealtimeScope() {
  tInRealtime = true;
}
RealtimeScope::~RealtimeScope() {
  tInRealtime = false;
}

}  // namespace mixelot::testing
