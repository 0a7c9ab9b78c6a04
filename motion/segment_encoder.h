#pragma once
// Packs the six step counts of one trajectory entry into the board's 9-byte segment: six 12-bit
// fields, magnitude in bits 0..10 and direction in bit 11.
#include <array>
#include <cstdint>

#include "host/host_block.h"

namespace vaskel {

using StepCounts = std::array<double, 6>;  // elements 4..9 of a SegmentRecord

constexpr int32_t kMaxFieldSteps = 2047;
constexpr size_t kSegmentBytes = 9;

// The host's per-axis settings the encoding depends on, read once per packet.
struct EncoderConfig {
  std::array<bool, 6> reversed{};                  // by field
  std::array<bool, 3> enabled{true, true, true};   // axes 3..5
  std::array<int8_t, 3> slave_master{-1, -1, -1};  // axes 3..5; -1: not slaved
};

EncoderConfig LoadEncoderConfig(const HostBlock& engine);

// Writes the 9 bytes of one segment to out and updates the shared direction bit. Counts are
// truncated toward zero; a count the field cannot hold is clipped to +-2047 (NaN counts as 0).
// Returns true when a count was clipped.
bool EncodeSegment(const EncoderConfig& config, const StepCounts& steps, int32_t& shared_direction,
                   uint8_t* out);

}  // namespace vaskel
