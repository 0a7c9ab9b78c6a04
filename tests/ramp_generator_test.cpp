#include <cstdint>

#include "ramp_fixture.h"

namespace vaskel::testing {
namespace {

using ::testing::ElementsAre;

using RampGeneratorTest = RampTest;

TEST_F(RampGeneratorTest, LookAheadStopsAtTwentyTwoRecords) {
  EXPECT_EQ(ramps().BufferedMilliseconds(21), 63);
  EXPECT_EQ(ramps().BufferedMilliseconds(22), 66);
  jog(0).AccelStep = 1;
  ramps().StartVelocityRamp(0, 0, 2);
  SegmentRing& ring = ramps().jog_ring();
  ring.producer = 21;
  ramps().GenerateRampSegments();
  EXPECT_EQ(ring.producer, 22);  // 63 ms < 66: one pass
  ramps().GenerateRampSegments();
  EXPECT_EQ(ring.producer, 22);  // 66 ms >= 66: none
  ring.consumer = 22;
  ramps().GenerateRampSegments();
  EXPECT_EQ(ring.Pending(), 22);  // from empty, passes until the limit
}

TEST_F(RampGeneratorTest, EachActiveAxisWritesARecordCarryingAllAxes) {
  for (int a : {1, 4}) jog(a).AccelStep = 1;
  ramps().StartVelocityRamp(1, 0, 2);
  ramps().StartVelocityRamp(4, 1, 3);
  Watch(1, 3);  // both at their targets
  const std::vector<SegmentRecord> out = Pass();
  ASSERT_EQ(out.size(), 2u);
  for (const SegmentRecord& rec : out) {
    EXPECT_THAT(std::vector<double>(rec.begin() + kStepElement, rec.begin() + kStepElement + 6),
                ElementsAre(0, 2, 0, 0, -3, 0));
    EXPECT_EQ(rec[0], 0);
  }
}

TEST_F(RampGeneratorTest, FlagsWhenNoRampIsActive) {
  planner().Set(planner::kFlushPartial, false);
  engine().Set(engine::kPluginMotionActive, true);
  ramps().jog_ring().producer = 30;  // look-ahead full: returns before looking
  ramps().GenerateRampSegments();
  EXPECT_FALSE(planner().Get(planner::kFlushPartial));
  EXPECT_TRUE(engine().Get(engine::kPluginMotionActive));
  ramps().jog_ring().consumer = 30;
  ramps().GenerateRampSegments();
  // The ramps' tail is flushed without the host's FlushPartial, which a program the host
  // queued meanwhile may be streaming by.
  EXPECT_FALSE(planner().Get(planner::kFlushPartial));
  EXPECT_FALSE(engine().Get(engine::kPluginMotionActive));
  EXPECT_EQ(ramps().jog_ring().Pending(), 0);
}

TEST_F(RampGeneratorTest, ModesNeverMixWithinASet) {
  ramps().StartDistanceRamp(0, 100, 0);
  ramps().StartVelocityRamp(1, 0, 5);
  EXPECT_EQ(ctx_.messages().index(), kMsgSpeedJogInvalid);
  EXPECT_EQ(jog(1).Mode, kRampIdle);
  EXPECT_EQ(jog(1).TargetVelocity, 0);

  ramps().jog_ramps() = RampSet{};
  ctx_.messages().SetIndex(0);
  ramps().StartVelocityRamp(2, 0, 5);
  ramps().StartDistanceRamp(3, 100, 0);
  EXPECT_EQ(ctx_.messages().index(), kMsgSpeedJogInvalid);
  EXPECT_EQ(jog(3).Mode, kRampIdle);
  EXPECT_EQ(jog(3).TotalSteps, 0);

  // The other set is not consulted.
  ctx_.motion().SelectSource(kBacklashRing);
  ctx_.messages().SetIndex(0);
  ramps().StartDistanceRamp(3, 100, 0);
  EXPECT_EQ(ctx_.messages().index(), 0);
  EXPECT_EQ(ramps().backlash_ramps()[3].Mode, kRampDistance);
}

TEST_F(RampGeneratorTest, JogOffActsOnJogRampsOnly) {
  ramps().StartDistanceRamp(0, 100, 0);
  const double target = jog(0).TargetVelocity;
  ramps().StopAxisRamp(0);
  EXPECT_EQ(ctx_.messages().index(), kMsgStopPosJogIllegal);
  EXPECT_EQ(jog(0).TargetVelocity, target);
  jog(0).AccelStep = 1;
  EXPECT_EQ(Run(0).Total(), 100);  // the distance ramp goes on

  ctx_.messages().SetIndex(0);
  jog(5).TargetVelocity = 3;  // idle: the stop only clears the target
  ctx_.motion().SelectSource(kBacklashRing);
  ramps().backlash_ramps()[5].TargetVelocity = 3;
  ramps().StopAxisRamp(5);
  EXPECT_EQ(jog(5).TargetVelocity, 0);
  EXPECT_EQ(jog(5).Mode, kRampIdle);
  EXPECT_EQ(ramps().backlash_ramps()[5].TargetVelocity, 3);
  EXPECT_EQ(ctx_.messages().index(), 0);
}

TEST_F(RampGeneratorTest, StopAllDiscardsQueuedRecords) {
  jog(0).AccelStep = jog(2).AccelStep = 1;
  ramps().StartVelocityRamp(0, 0, 4);
  ramps().StartVelocityRamp(2, 1, 4);
  ramps().GenerateRampSegments();
  EXPECT_FALSE(ramps().RampsIdleAndDrained());
  planner().Set(planner::kFlushPartial, false);
  ramps().StopAllRamps();
  EXPECT_FALSE(planner().Get(planner::kFlushPartial));  // the host's own word
  EXPECT_EQ(jog(2).Velocity, 0);
  EXPECT_EQ(jog(2).TargetVelocity, 0);
  EXPECT_TRUE(ramps().RampsIdleAndDrained());
}

TEST_F(RampGeneratorTest, IdleAndDrainedNeedsEveryRampIdleAndAnEmptyRing) {
  ctx_.motion().SelectSource(kJogRing);  // the ring looked at is the current source's
  for (AxisRamp& r : ramps().jog_ramps()) r.FractionalSteps = 0.5;
  jog(2).Mode = kRampVelocity;
  EXPECT_FALSE(ramps().RampsIdleAndDrained());
  // Idle axes before the first running one lose their fraction, later ones keep it.
  EXPECT_EQ(jog(1).FractionalSteps, 0);
  EXPECT_EQ(jog(3).FractionalSteps, 0.5);
  jog(2).Mode = kRampIdle;
  ramps().jog_ring().producer = 1;
  EXPECT_FALSE(ramps().RampsIdleAndDrained());
  ramps().jog_ring().consumer = 1;
  EXPECT_TRUE(ramps().RampsIdleAndDrained());
}

TEST_F(RampGeneratorTest, BacklashSetUsesItsOwnRing) {
  ctx_.motion().SelectSource(kBacklashRing);
  ramps().backlash_ramps()[1].AccelStep = 1;
  ramps().StartDistanceRamp(1, -3, 0);
  ramps().GenerateRampSegments();
  EXPECT_EQ(ramps().jog_ring().Pending(), 0);
  EXPECT_GT(ramps().backlash_ring().Pending(), 0);
  EXPECT_EQ(ramps().backlash_ramps()[1].DoneSteps, 3);
  ramps().Select(kHostTrajectory);  // keeps the current set
  EXPECT_EQ(&ramps().active_set(), &ramps().backlash_ramps());
}

}  // namespace
}  // namespace vaskel::testing
