#pragma once
// Memory from seed to seed: every seed builds and frees its own plug-in context, so the heap
// the process holds after a seed stays flat once the first seeds have warmed the allocator's
// caches. Measured where the C library can say (glibc); elsewhere nothing is checked.
#include <cstdint>
#include <string>

namespace vaskel::chaos {

class HeapWatch {
 public:
  static constexpr int kWarmUpSeeds = 20;
  static constexpr size_t kAllowedGrowth = size_t{16} << 20;

  // After a seed: false once the heap in use is more than kAllowedGrowth above what it was
  // after the warm-up.
  bool Flat(uint64_t seed);
  std::string growth() const;

 private:
  int seeds_ = 0;
  size_t baseline_ = 0;
  size_t now_ = 0;
  uint64_t baseline_seed_ = 0;
};

}  // namespace vaskel::chaos
