#include "host/host_block.h"

#include <gtest/gtest.h>

#include <vector>

#include "motion/spindle.h"

namespace vaskel {
namespace {

TEST(HostBlock, FieldsLandAtTheirByteOffsetsLittleEndian) {
  std::vector<uint8_t> mem(engine::kBlockSize, 0);
  HostBlock e(mem.data());
  e.Set(engine::kTrajProducerIndex, 0x01020304);
  EXPECT_EQ(mem[163844], 0x04);
  EXPECT_EQ(mem[163847], 0x01);
  e.Set(engine::kAxisPosition[2], -1);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(mem[163920 + 96 * 2 + k], 0xff);
  EXPECT_EQ(e.Load<int32_t>(engine::kSegmentTag[4095].offset), 0);
  EXPECT_EQ(engine::kSegmentTag[4095].offset, 28u + 40u * 4095u);
}

TEST(HostBlock, FlagsReadAnyNonZeroAndWriteZeroOrOne) {
  std::vector<uint8_t> mem(engine::kBlockSize, 0);
  HostBlock e(mem.data());
  mem[166367] = 0x7f;
  EXPECT_TRUE(e.Get(engine::kEStopActive));
  e.Set(engine::kEStopActive, true);
  EXPECT_EQ(mem[166367], 1);
  e.Set(engine::kEStopActive, false);
  EXPECT_EQ(mem[166367], 0);
}

TEST(HostBlock, UnalignedFieldsAreCopiedWhole) {
  std::vector<uint8_t> mem(planner::kBlockSize + 8, 0);
  HostBlock p(mem.data() + 1);  // every field misaligned
  p.Set(planner::kSegmentPeriod, 0.003);
  EXPECT_EQ(p.Get(planner::kSegmentPeriod), 0.003);
  p.Set(planner::kHomingSignalWord, uint64_t{1} << 56 | 5);
  EXPECT_EQ(p.Get(planner::kHomingSignalWord), (uint64_t{1} << 56) | 5);
}

TEST(HostBlock, AnAbsentBlockReadsZeroAndIgnoresWrites) {
  HostBlock none;
  EXPECT_FALSE(none.valid());
  none.Set(engine::kTrajProducerIndex, 7);
  EXPECT_EQ(none.Get(engine::kTrajProducerIndex), 0);
  EXPECT_EQ(none.ByteAt(10), nullptr);
}

TEST(HostLayout, PointerFieldsArePointerSizedAtTheListedOffsets) {
  EXPECT_EQ(window::kMainWindowHandle.offset, 28u);
  EXPECT_EQ(window::kJogFullSpeed.offset, 133940u);
  EXPECT_EQ(planner::kStatusText.offset, 1161996u);
  EXPECT_EQ(window::kBlockSize, 133940u + sizeof(void*));
}

TEST(SpindleRamp, StepsByFiveAndLandsOnTheTarget) {
  Spindle s;
  s.set_target(12);
  std::vector<int32_t> seen;
  for (int i = 0; i < 4; ++i) {
    s.StepSpindleRamp();
    seen.push_back(s.value());
  }
  EXPECT_EQ(seen, (std::vector<int32_t>{5, 10, 12, 12}));
  s.set_value(200);
  s.set_target(0);
  int calls = 0;
  while (s.value() != 0) {
    s.StepSpindleRamp();
    ++calls;
  }
  EXPECT_EQ(calls, 40);
}

}  // namespace
}  // namespace vaskel
