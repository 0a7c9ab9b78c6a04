#include "sim/board/segment_decode.h"

namespace vaskel::sim {

std::array<uint16_t, kChannels> SegmentFields(const uint8_t b[kSegmentBytes]) {
  std::array<uint16_t, kChannels> f{};
  // Each group of three bytes: lo(Fa), hi(Fa)<<4 | hi(Fb), lo(Fb).
  for (int pair = 0; pair < 3; ++pair) {
    const uint8_t* g = b + 3 * pair;
    f[2 * pair] = static_cast<uint16_t>(((g[1] >> 4) & 0x0f) << 8 | g[0]);
    f[2 * pair + 1] = static_cast<uint16_t>((g[1] & 0x0f) << 8 | g[2]);
  }
  return f;
}

ChannelSteps DecodeSegment(const uint8_t b[kSegmentBytes]) {
  const auto fields = SegmentFields(b);
  ChannelSteps steps{};
  for (int c = 0; c < kChannels; ++c) {
    const int32_t magnitude = fields[c] & 0x7ff;
    steps[c] = (fields[c] & 0x800) ? -magnitude : magnitude;
  }
  return steps;
}

void AddPacketSteps(const uint8_t* segments, std::array<int64_t, kChannels>& totals) {
  for (int k = 0; k < kSegmentsPerPacket; ++k) {
    const ChannelSteps s = DecodeSegment(segments + kSegmentBytes * k);
    for (int c = 0; c < kChannels; ++c) totals[c] += s[c];
  }
}

}  // namespace vaskel::sim
