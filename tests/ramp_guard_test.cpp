#include <cmath>
#include <cstdint>
#include <limits>

#include "ramp_fixture.h"

namespace vaskel::testing {
namespace {

using RampGuard = RampTest;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST_F(RampGuard, AccelStepIsHalfOfAccelerationTimesPeriodSquared) {
  planner().Set(planner::kAxisAcceleration[1], 200.0);
  planner().Set(planner::kStepsPerUnit[1], 1000.0);
  ramps().RecomputeAccelSteps();
  EXPECT_DOUBLE_EQ(jog(1).AccelStep, 0.9);
  EXPECT_EQ(ramps().backlash_ramps()[1].AccelStep, 0);  // only the current set
  EXPECT_DOUBLE_EQ(ramps().SpeedToStepsPerSegment(1, 2.0), 6);
}

TEST_F(RampGuard, UnusableHostValuesGiveNoAcceleration) {
  struct Case {
    double period, accel, steps_per_unit;
  };
  for (const Case& c : {Case{0.003, -200, 1000}, Case{0.003, 200, -1000}, Case{0.003, 200, kNaN},
                        Case{0.003, kInf, 1000}}) {
    planner().Set(planner::kSegmentPeriod, c.period);
    planner().Set(planner::kAxisAcceleration[0], c.accel);
    planner().Set(planner::kStepsPerUnit[0], c.steps_per_unit);
    jog(0).AccelStep = 1;
    ramps().RecomputeAccelSteps();
    EXPECT_EQ(jog(0).AccelStep, 0) << c.period << " " << c.accel << " " << c.steps_per_unit;
  }
  // A period the host never set or spoilt is the link's 3 ms, for speeds as for acceleration.
  planner().Set(planner::kAxisAcceleration[0], 200.0);
  planner().Set(planner::kStepsPerUnit[0], 1000.0);
  for (double period : {0.0, -0.003, kNaN, kInf}) {
    planner().Set(planner::kSegmentPeriod, period);
    ramps().RecomputeAccelSteps();
    EXPECT_DOUBLE_EQ(jog(0).AccelStep, 0.9) << period;
    EXPECT_DOUBLE_EQ(ramps().SpeedToStepsPerSegment(0, 2.0), 6) << period;
  }
}

// Without a usable acceleration a ramp could never reach its target, nor stop.
TEST_F(RampGuard, RampWithoutAccelerationStopsAtOnce) {
  jog(0).AccelStep = 1;
  ramps().StartVelocityRamp(0, 0, 5);
  Watch(0, 6);
  for (double bad : {0.0, -1.0, kNaN, kInf}) {
    jog(0).AccelStep = bad;
    ramps().StartVelocityRamp(0, 0, 5);
    jog(0).Velocity = 5;
    const RampTrace t = Watch(0, 3, true);
    ASSERT_EQ(t.velocities.size(), 1u) << bad;
    EXPECT_EQ(t.velocities[0], 0);
    EXPECT_EQ(jog(0).Mode, kRampIdle);
  }
}

TEST_F(RampGuard, LookAheadNeverOverrunsTheRing) {
  jog(0).AccelStep = jog(3).AccelStep = 1;
  ramps().StartVelocityRamp(0, 0, 2);
  ramps().StartVelocityRamp(3, 1, 2);
  SegmentRing& ring = ramps().jog_ring();
  ring.producer = ring.consumer = 4090;  // the bound holds across the wrap
  for (int32_t setting : {1000000, std::numeric_limits<int32_t>::max()}) {
    ctx_.settings().jog_buffer = setting;
    ramps().GenerateRampSegments();
    EXPECT_LE(ring.Pending(), RampGenerator::kMaxQueuedRecords);
    EXPECT_GE(ring.Pending(), RampGenerator::kMaxQueuedRecords - 6);
    EXPECT_EQ(ring.consumer, 4090);
  }
  // Without a usable period the look-ahead is measured in the link's 3 ms segments: a jog-off
  // must not wait behind seconds of queued ramp.
  ctx_.settings().jog_buffer = 200;
  for (double period : {0.0, -0.003, kNaN}) {
    planner().Set(planner::kSegmentPeriod, period);
    ring.consumer.store(ring.producer.load());
    ramps().GenerateRampSegments();
    EXPECT_EQ(ring.Pending(), 22) << period;  // two axes, two records a pass, below 66 ms
  }
}

TEST_F(RampGuard, SettingBelowTheDialogRangeStillFillsPackets) {
  jog(0).AccelStep = 1;
  ramps().StartVelocityRamp(0, 0, 2);
  SegmentRing& ring = ramps().jog_ring();
  for (int32_t setting : {0, -5, 100}) {
    ctx_.settings().jog_buffer = setting;
    ring.consumer.store(ring.producer.load());
    ramps().GenerateRampSegments();
    EXPECT_EQ(ring.Pending(), 11) << setting;  // 33 ms of 3 ms records at 100 ms
  }
}

TEST_F(RampGuard, AxisOutsideTheSetIsIgnored) {
  planner().Set(planner::kStepsPerUnit[0], 1000.0);
  EXPECT_EQ(ramps().SpeedToStepsPerSegment(-1, 2.0), 0);
  EXPECT_EQ(ramps().SpeedToStepsPerSegment(6, 2.0), 0);
  ramps().StartVelocityRamp(6, 0, 5);
  ramps().StartDistanceRamp(-1, 10, 1);
  ramps().StopAxisRamp(6);
  for (const AxisRamp& r : ramps().jog_ramps()) EXPECT_EQ(r.Mode, kRampIdle);
  EXPECT_EQ(ctx_.messages().index(), 0);
}

}  // namespace
}  // namespace vaskel::testing
