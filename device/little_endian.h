#pragma once
// Every multi-byte field exchanged with the board is little-endian.
#include <cstdint>

namespace vaskel {

// Reads an n-byte (n <= 4) unsigned field; returns the position after it.
inline const uint8_t* ReadLittleEndian(const uint8_t* bytes, int n, uint32_t& out) {
  uint32_t value = 0;
  for (int k = 0; k < n; ++k) value |= static_cast<uint32_t>(bytes[k]) << (8 * k);
  out = value;
  return bytes + n;
}

// A 4-byte field read into a signed integer keeps its two's-complement sign.
inline const uint8_t* ReadLittleEndian(const uint8_t* bytes, int n, int32_t& out) {
  uint32_t value = 0;
  const uint8_t* next = ReadLittleEndian(bytes, n, value);
  out = static_cast<int32_t>(value);
  return next;
}

inline uint8_t* WriteLittleEndian(uint8_t* bytes, int n, uint32_t value) {
  for (int k = 0; k < n; ++k) bytes[k] = static_cast<uint8_t>(value >> (8 * k));
  return bytes + n;
}

}  // namespace vaskel
