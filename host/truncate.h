#pragma once
// Floating point to integer conversions truncate toward zero. Host values can be anything, so
// out-of-range values saturate and NaN gives 0 instead of undefined behaviour.
#include <cmath>
#include <cstdint>
#include <limits>

namespace vaskel {

inline int32_t TruncToInt32(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

}  // namespace vaskel
