#include "motion/segment_encoder.h"

#include <algorithm>

#include "host/truncate.h"

namespace vaskel {

EncoderConfig LoadEncoderConfig(const HostBlock& engine) {
  EncoderConfig c;
  for (size_t a = 0; a < 6; ++a) c.reversed[a] = engine.Get(engine::kAxisReversed[a]);
  for (size_t i = 0; i < 3; ++i) {
    const size_t axis = 3 + i;
    c.enabled[i] = engine.Get(engine::kAxisEnabled[axis]);
    if (engine.Get(engine::kAxisSlaved[axis])) {
      const int32_t master = engine.Get(engine::kAxisSlaveMaster[axis]);
      // A master outside 0..5 names no slot; the axis then sends its own count.
      c.slave_master[i] = (master >= 0 && master < 6) ? static_cast<int8_t>(master) : int8_t{-1};
    }
  }
  return c;
}

bool EncodeSegment(const EncoderConfig& config, const StepCounts& steps, int32_t& shared_direction,
                   uint8_t* out) {
  std::array<int32_t, 6> t{};
  std::array<bool, 6> clipped_axis{};
  for (size_t a = 0; a < 6; ++a) {
    const int32_t v = TruncToInt32(steps[a]);
    t[a] = std::clamp(v, -kMaxFieldSteps, kMaxFieldSteps);
    clipped_axis[a] = t[a] != v;
  }

  // Channels 3 and 4 carry the first two enabled axes of 3..5; channel 5 always axis 5. An
  // axis no channel carries is not sent, so its count cannot be clipped either.
  constexpr int kNoAxis = -1;
  std::array<int, 6> from{0, 1, 2, kNoAxis, kNoAxis, 5};
  size_t slot = 3;
  for (size_t i = 0; i < 3 && slot < 5; ++i) {
    if (config.enabled[i]) from[slot++] = static_cast<int>(3 + i);
  }

  bool clipped = false;
  std::array<uint32_t, 6> f{};
  for (size_t a = 0; a < 6; ++a) {
    int32_t d = config.reversed[a] ? 1 : 0;
    int source = from[a];
    if (a >= 3 && config.slave_master[a - 3] >= 0) source = from[config.slave_master[a - 3]];
    int32_t n = 0;
    if (source != kNoAxis) {
      n = t[static_cast<size_t>(source)];
      clipped |= clipped_axis[static_cast<size_t>(source)];
    }
    if (n < 0) {
      n = -n;
      d = 1 - d;
    }
    if (n == 0) d = shared_direction;
    if (a == 0) shared_direction = d;
    f[a] = static_cast<uint32_t>(d) * 2048u + static_cast<uint32_t>(n);
  }

  const auto lo = [](uint32_t v) { return static_cast<uint8_t>(v & 0xff); };
  const auto hi = [](uint32_t v) { return static_cast<uint8_t>((v >> 8) & 0x0f); };
  out[0] = lo(f[0]);
  out[1] = static_cast<uint8_t>(hi(f[0]) << 4 | hi(f[1]));
  out[2] = lo(f[1]);
  out[3] = lo(f[2]);
  out[4] = static_cast<uint8_t>(hi(f[2]) << 4 | hi(f[3]));
  out[5] = lo(f[3]);
  out[6] = lo(f[4]);
  out[7] = static_cast<uint8_t>(hi(f[4]) << 4 | hi(f[5]));
  out[8] = lo(f[5]);
  return clipped;
}

}  // namespace vaskel
