#pragma once
// Output reports as the plug-in writes them, for driving the board simulator in tests.
#include <array>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "platform/hid.h"

namespace vaskel::testing {

using Report = std::array<uint8_t, kReportSize>;
using SegmentBytes = std::array<uint8_t, 9>;

inline void PutLe(uint8_t* p, uint32_t v, int n) {
  for (int i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint32_t GetLe(const uint8_t* p, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
  return v;
}

inline Report CommandReport(uint8_t opcode, int32_t value) {
  Report r{};
  r[1] = opcode;
  PutLe(&r[2], static_cast<uint32_t>(value), 4);
  return r;
}

inline Report StatusRequestReport(uint16_t sequence, uint32_t output_word = 0, uint16_t spindle = 0,
                                  uint32_t axis_mask = 0) {
  Report r{};
  r[1] = 18;
  PutLe(&r[2], sequence, 2);
  PutLe(&r[4], output_word, 4);
  PutLe(&r[8], spindle, 2);
  PutLe(&r[10], axis_mask, 4);
  return r;
}

// A motion packet; slots beyond the given segments hold the empty segment.
inline Report MotionReport(std::initializer_list<SegmentBytes> segments) {
  Report r{};
  r[1] = 17;
  int k = 0;
  for (const SegmentBytes& s : segments) {
    for (int i = 0; i < 9; ++i) r[2 + 9 * k + i] = s[i];
    ++k;
  }
  return r;
}

// The 9 bytes of a segment with all six fields non-negative and below 2048.
inline SegmentBytes Forward(std::array<uint16_t, 6> f) {
  SegmentBytes b{};
  for (int pair = 0; pair < 3; ++pair) {
    const uint16_t a = f[2 * pair], c = f[2 * pair + 1];
    b[3 * pair] = static_cast<uint8_t>(a);
    b[3 * pair + 1] = static_cast<uint8_t>(((a >> 8) & 0xf) << 4 | ((c >> 8) & 0xf));
    b[3 * pair + 2] = static_cast<uint8_t>(c);
  }
  return b;
}

}  // namespace vaskel::testing
