#include "motion/segment_encoder.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

namespace vaskel {
namespace {

using Bytes = std::array<uint8_t, 9>;

Bytes Encode(const StepCounts& steps, int32_t& dir, const EncoderConfig& config = {},
             bool* clipped = nullptr) {
  Bytes out{};
  const bool c = EncodeSegment(config, steps, dir, out.data());
  if (clipped) *clipped = c;
  return out;
}

// Field a of a 9-byte segment, unpacked.
uint32_t Field(const Bytes& b, int a) {
  const int group = a / 2;  // fields come in pairs sharing the middle byte's nibbles
  const uint8_t* g = b.data() + 3 * group;
  return a % 2 == 0 ? (g[0] | (g[1] >> 4) << 8) : (g[2] | (g[1] & 0x0f) << 8);
}

TEST(SegmentEncoder, EncodedExamples) {
  struct Case {
    StepCounts steps;
    bool axis3_enabled;
    Bytes bytes;
    int32_t dir_after;
  };
  const Case cases[] = {
      {{5, 0, 0, 0, 0, 0}, true, {0x05, 0, 0, 0, 0, 0, 0, 0, 0}, 0},
      {{-5, 0, 0, 0, 0, 0}, true, {0x05, 0x88, 0, 0, 0x88, 0, 0, 0x88, 0}, 1},
      {{0, 300, 0, 0, 0, 0}, true, {0, 0x01, 0x2C, 0, 0, 0, 0, 0, 0}, 0},
      {{1, 2, 3, 4, 5, 6}, true, {0x01, 0, 0x02, 0x03, 0, 0x04, 0x05, 0, 0x06}, 0},
      {{1, 2, 3, 4, 5, 6}, false, {0x01, 0, 0x02, 0x03, 0, 0x05, 0x06, 0, 0x06}, 0},
  };
  for (const Case& c : cases) {
    EncoderConfig config;
    config.enabled[0] = c.axis3_enabled;
    int32_t dir = 0;
    EXPECT_EQ(Encode(c.steps, dir, config), c.bytes);
    EXPECT_EQ(dir, c.dir_after);
  }
}

TEST(SegmentEncoder, SharedDirectionBitFollowsAxisZeroAndFillsZeroCounts) {
  int32_t dir = 0;
  Encode({-5, 0, 0, 0, 0, 0}, dir);
  ASSERT_EQ(dir, 1);
  // Axis 0 idle: the bit stays and every zero field carries it.
  EXPECT_EQ(Encode({0, 0, 0, 0, 0, 0}, dir), (Bytes{0, 0x88, 0, 0, 0x88, 0, 0, 0x88, 0}));
  EXPECT_EQ(dir, 1);
  // A positive axis 1 does not move the bit.
  EXPECT_EQ(Field(Encode({0, 7, 0, 0, 0, 0}, dir), 1), 7u);
  EXPECT_EQ(dir, 1);
  Encode({3, 0, 0, 0, 0, 0}, dir);
  EXPECT_EQ(dir, 0);
}

TEST(SegmentEncoder, ReversedAxisInvertsDirectionButNotZeroCounts) {
  EncoderConfig config;
  config.reversed[2] = true;
  int32_t dir = 0;
  Bytes b = Encode({0, 0, 7, 0, 0, 0}, dir, config);
  EXPECT_EQ(Field(b, 2), 2048u + 7u);
  b = Encode({0, 0, -7, 0, 0, 0}, dir, config);
  EXPECT_EQ(Field(b, 2), 7u);
  b = Encode({0, 0, 0, 0, 0, 0}, dir, config);
  EXPECT_EQ(Field(b, 2), 0u);  // shared bit 0, whatever AxisReversed says

  // A reversed axis 0 moving positive sets the shared bit.
  config.reversed[0] = true;
  Encode({4, 0, 0, 0, 0, 0}, dir, config);
  EXPECT_EQ(dir, 1);
}

TEST(SegmentEncoder, ChannelMappingOfAxesThreeToFive) {
  EncoderConfig config;
  config.enabled = {false, false, true};
  int32_t dir = 0;
  const Bytes b = Encode({0, 0, 0, 4, 5, 6}, dir, config);
  EXPECT_EQ(Field(b, 3), 6u);
  EXPECT_EQ(Field(b, 4), 0u);
  EXPECT_EQ(Field(b, 5), 6u);

  config.enabled = {false, false, false};
  const Bytes none = Encode({0, 0, 0, 4, 5, 6}, dir, config);
  EXPECT_EQ(Field(none, 3), 0u);
  EXPECT_EQ(Field(none, 4), 0u);
  EXPECT_EQ(Field(none, 5), 6u);
}

TEST(SegmentEncoder, SlavedAxisCopiesItsMastersSlotBeforeSignHandling) {
  EncoderConfig config;
  config.slave_master = {0, -1, 2};  // axis 3 follows slot 0, axis 5 follows slot 2
  config.reversed[3] = true;
  int32_t dir = 0;
  const Bytes b = Encode({-9, 0, 12, 4, 5, 6}, dir, config);
  EXPECT_EQ(Field(b, 0), 2048u + 9u);
  EXPECT_EQ(Field(b, 3), 9u);  // -9 on a reversed field: direction flipped back
  EXPECT_EQ(Field(b, 4), 5u);
  EXPECT_EQ(Field(b, 5), 12u);
}

TEST(SegmentEncoder, OversizedCountsAreClippedWithoutTouchingNeighbours) {
  int32_t dir = 0;
  bool clipped = false;
  Bytes b = Encode({2047, 0, 0, 0, 0, 0}, dir, {}, &clipped);
  EXPECT_FALSE(clipped);
  EXPECT_EQ(Field(b, 0), 2047u);

  b = Encode({2048, 0, 0, 0, 0, 0}, dir, {}, &clipped);
  EXPECT_TRUE(clipped);
  EXPECT_EQ(Field(b, 0), 2047u);  // direction bit stays 0
  EXPECT_EQ(Field(b, 1), 0u);
  EXPECT_EQ(dir, 0);

  b = Encode({0, -5000, 0, 0, 0, 0}, dir, {}, &clipped);
  EXPECT_TRUE(clipped);
  EXPECT_EQ(Field(b, 1), 2048u + 2047u);
  EXPECT_EQ(Field(b, 0), 0u);
  EXPECT_EQ(Field(b, 2), 0u);

  const double inf = std::numeric_limits<double>::infinity();
  b = Encode({-inf, 1e300, -2147483648.0, 0, 0, 0}, dir, {}, &clipped);
  EXPECT_TRUE(clipped);
  EXPECT_EQ(Field(b, 0), 2048u + 2047u);
  EXPECT_EQ(Field(b, 1), 2047u);
  EXPECT_EQ(Field(b, 2), 2048u + 2047u);
}

// Only a count that reaches a field can be clipped: a disabled axis, or a third enabled axis
// of 3..5 beyond the two shared channels, is not sent at all.
TEST(SegmentEncoder, CountsNoChannelCarriesAreNotReportedClipped) {
  int32_t dir = 0;
  bool clipped = true;
  EncoderConfig axis3_off;
  axis3_off.enabled = {false, true, true};
  Encode({0, 0, 0, 5000, 0, 0}, dir, axis3_off, &clipped);
  EXPECT_FALSE(clipped);

  // Axes 3, 4 and 5 enabled: channels 3 and 4 carry axes 3 and 4, channel 5 axis 5.
  Encode({0, 0, 0, 0, 0, 2048}, dir, {}, &clipped);
  EXPECT_TRUE(clipped);
  EncoderConfig axis4_off;
  axis4_off.enabled = {true, false, true};
  Encode({0, 0, 0, 0, 2048, 0}, dir, axis4_off, &clipped);
  EXPECT_FALSE(clipped);
  // A slave sends its master's count: a clipped master is clipped in the slave's field too,
  // and the slave's own count is never sent.
  EncoderConfig slaved;
  slaved.slave_master = {-1, 0, -1};
  Encode({0, 0, 0, 0, 9999, 0}, dir, slaved, &clipped);
  EXPECT_FALSE(clipped);
  const Bytes b = Encode({3000, 0, 0, 0, 0, 0}, dir, slaved, &clipped);
  EXPECT_TRUE(clipped);
  EXPECT_EQ(Field(b, 4), 2047u);
}

TEST(SegmentEncoder, NanAndFractionsTruncateTowardZero) {
  int32_t dir = 0;
  bool clipped = true;
  const Bytes b = Encode({std::nan(""), 0.9, -0.9, 2.99, -2.99, 0}, dir, {}, &clipped);
  EXPECT_FALSE(clipped);
  EXPECT_EQ(Field(b, 0), 0u);
  EXPECT_EQ(Field(b, 1), 0u);
  EXPECT_EQ(Field(b, 2), 0u);
  EXPECT_EQ(Field(b, 3), 2u);
  EXPECT_EQ(Field(b, 4), 2048u + 2u);
}

}  // namespace
}  // namespace vaskel
