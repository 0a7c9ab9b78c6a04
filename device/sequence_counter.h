#pragma once
// The 14-bit sequence numbers that tie a request to its reply: 1..16383, never 0 (0 marks a
// free entry of the pending-reply table).
#include <cstdint>

namespace vaskel {

class SequenceCounter {
 public:
  static constexpr int32_t kMask = 0x3fff;

  int32_t value() const { return value_; }
  void Reset() { value_ = 1; }
  // Any value is brought into 1..16383.
  void Set(int32_t value) {
    value_ = value & kMask;
    if (value_ == 0) value_ = 1;
  }
  void Next() {
    value_ = (value_ + 1) & kMask;
    if (value_ == 0) value_ = 1;
  }

 private:
  // Starts at 1 rather than waiting for the reset, so a request sent before it is still valid.
  int32_t value_ = 1;
};

}  // namespace vaskel
