#pragma once
// The board's view of one 9-byte motion segment: six 12-bit fields, bit 11 the direction
// (set = negative) and bits 0..10 the step count, packed two fields to three bytes.
#include <array>
#include <cstdint>

namespace vaskel::sim {

constexpr int kChannels = 6;
constexpr int kSegmentBytes = 9;
constexpr int kSegmentsPerPacket = 7;

using ChannelSteps = std::array<int32_t, kChannels>;

// The raw 12-bit fields of one segment, channel 0 first.
std::array<uint16_t, kChannels> SegmentFields(const uint8_t bytes[kSegmentBytes]);

// Signed steps of each channel. A direction bit on a zero count moves nothing.
ChannelSteps DecodeSegment(const uint8_t bytes[kSegmentBytes]);

// Adds the steps of a motion packet's seven segments (`segments`: the byte after the opcode)
// to per-channel totals.
void AddPacketSteps(const uint8_t* segments, std::array<int64_t, kChannels>& totals);

}  // namespace vaskel::sim
