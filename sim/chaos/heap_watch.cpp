#include "sim/chaos/heap_watch.h"

#include <cstdio>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VASKEL_SANITIZED_HEAP 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VASKEL_SANITIZED_HEAP 1
#endif
#if defined(__GLIBC__) && !defined(VASKEL_SANITIZED_HEAP)
#include <malloc.h>
#define VASKEL_HEAP_IN_USE 1
#endif

namespace vaskel::chaos {
namespace {

// 0 where it cannot be told (another C library, or a sanitizer's own allocator).
size_t HeapInUse() {
#ifdef VASKEL_HEAP_IN_USE
  return mallinfo2().uordblks;
#else
  return 0;
#endif
}

}  // namespace

bool HeapWatch::Flat(uint64_t seed) {
  now_ = HeapInUse();
  if (++seeds_ == kWarmUpSeeds) {
    baseline_ = now_;
    baseline_seed_ = seed;
  }
  return seeds_ <= kWarmUpSeeds || now_ <= baseline_ + kAllowedGrowth;
}

std::string HeapWatch::growth() const {
  char text[160];
  std::snprintf(text, sizeof text, "the heap in use grew from %zu KiB after seed %llu to %zu KiB",
                baseline_ >> 10, static_cast<unsigned long long>(baseline_seed_), now_ >> 10);
  return text;
}

}  // namespace vaskel::chaos
