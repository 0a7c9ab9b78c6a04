#include <cstdint>
#include <limits>
#include <vector>

#include "ramp_fixture.h"

namespace vaskel::testing {
namespace {

using ::testing::ElementsAre;

using RampDistance = RampTest;

TEST_F(RampDistance, FortyStepsMirrorTheAccelerationAndInsertTheLeftover) {
  const RampTrace t = RunDistance(40, 0.75, 4);
  EXPECT_THAT(t.velocities,
              ElementsAre(0.75, 1.5, 2.25, 3, 3.75, 4, 4, 4, 4, 4, 3.75, 3, 2.25, 2, 1.5, 0.75, 0));
  EXPECT_THAT(t.steps, ElementsAre(0, 1, 2, 3, 3, 4, 4, 4, 4, 4, 3, 3, 2, 2, 1, 0, 0));
  EXPECT_EQ(jog(0).DoneSteps, 40);
  EXPECT_EQ(jog(0).Mode, kRampIdle);
  EXPECT_TRUE(Pass().empty());
}

TEST_F(RampDistance, NegativeDistanceMirrorsThePositiveOne) {
  const RampTrace t = RunDistance(-40, 0.75, 4);
  EXPECT_THAT(t.steps,
              ElementsAre(0, -1, -2, -3, -3, -4, -4, -4, -4, -4, -3, -3, -2, -2, -1, 0, 0));
  EXPECT_EQ(jog(0).DoneSteps, 40);
}

TEST_F(RampDistance, ShortMovesBrakeBeforeReachingTheTarget) {
  RampTrace t = RunDistance(11, 1, 3);
  EXPECT_THAT(t.velocities, ElementsAre(1, 2, 3, 2, 2, 1, 0));
  EXPECT_THAT(t.steps, ElementsAre(1, 2, 3, 2, 2, 1, 0));
  // Braking that leaves no more than this segment repeats the update once: the leftover is
  // inserted at once.
  t = RunDistance(9, 1, 3);
  EXPECT_THAT(t.steps, ElementsAre(1, 2, 3, 2, 1, 0));
}

TEST_F(RampDistance, ZeroStepsRampBrieflyAndEmitNothing) {
  const RampTrace t = RunDistance(0, 0.75, 4);
  EXPECT_THAT(t.velocities, ElementsAre(0.75, 0.75, 0));
  EXPECT_EQ(t.Total(), 0);
  EXPECT_EQ(jog(0).Mode, kRampIdle);
}

// Acceleration that lands exactly on the target writes no crossing; braking still has to
// start from the target speed.
TEST_F(RampDistance, ExactLandingBrakesFromTheTarget) {
  const RampTrace t = RunDistance(20, 1, 3);
  EXPECT_THAT(t.velocities, ElementsAre(1, 2, 3, 3, 3, 3, 2, 2, 1, 0));
  EXPECT_THAT(t.steps, ElementsAre(1, 2, 3, 3, 3, 3, 2, 2, 1, 0));
  // A stale value from an earlier move must not leak into this one.
  jog(0).OvershootVelocity = 0.5;
  EXPECT_EQ(RunDistance(20, 1, 3).Total(), 20);
}

// At one step per segment the target comes before the first whole step is emitted, so the
// acceleration took 0 steps; braking must not count the first cruise step as acceleration.
TEST_F(RampDistance, TargetBeforeTheFirstWholeStep) {
  EXPECT_THAT(RunDistance(5, 0.75, 1).steps, ElementsAre(0, 1, 1, 1, 1, 1, 0, 0));
  for (double accel : {0.25, 0.5, 0.75, 1.0}) {
    for (int32_t total = 0; total <= 60; ++total) {
      EXPECT_EQ(RunDistance(total, accel, 1).Total(), total) << accel << " " << total;
    }
  }
}

TEST_F(RampDistance, StartsFromSpeedAndKeepsVelocity) {
  planner().Set(planner::kStepsPerUnit[2], 1000.0);
  jog(2).Velocity = 0.5;
  jog(2).OvershootVelocity = 7;
  jog(2).LeftoverSteps = 3;
  jog(2).DoneSteps = 9;
  ramps().StartDistanceRamp(2, -25, 2.0);  // 2 units/s = 6 steps per segment
  EXPECT_EQ(jog(2).Mode, kRampDistance);
  EXPECT_DOUBLE_EQ(jog(2).TargetVelocity, -6);
  EXPECT_EQ(jog(2).TotalSteps, 25);
  EXPECT_EQ(jog(2).LeftoverSteps, 0);
  EXPECT_EQ(jog(2).DoneSteps, 0);
  EXPECT_EQ(jog(2).Velocity, 0.5);
  EXPECT_EQ(jog(2).OvershootVelocity, 7);
  ramps().StartDistanceRamp(3, 5, 0.0001);  // below one step per segment
  EXPECT_EQ(jog(3).TargetVelocity, 1);
  ramps().StartDistanceRamp(4, -5, 0.0001);
  EXPECT_EQ(jog(4).TargetVelocity, -1);
}

// A stiff, fast axis puts more steps in a segment than its field holds (a braking leftover in
// one segment among them): every segment carries at most 2,047, and the rest follows, so a
// take-up's correction counts only steps that went out.
TEST_F(RampDistance, NoSegmentCarriesMoreThanAFieldHolds) {
  for (const int32_t total : {2500, 5000, -6000}) {
    const RampTrace t = RunDistance(total, 3000, 4000);
    EXPECT_EQ(t.Total(), total) << total;
    for (int32_t s : t.steps) EXPECT_LE(s < 0 ? -s : s, 2047) << total;
  }
}

// The mirrored braking can stop short of the distance, or pass it where the acceleration
// steps do not add up exactly; either way the ramp has to end on its distance.
TEST_F(RampDistance, EveryDistanceEndsExactlyOnItsTotal) {
  const RampTrace t = RunDistance(20, 0.75, 4);  // the mirror alone ends 2 short
  EXPECT_EQ(t.Total(), 20);
  EXPECT_EQ(t.steps.back(), 0);
  for (int32_t s : t.steps) EXPECT_LE(s, 4);
  for (double accel : {0.3, 0.75, 1.5, 3.3}) {
    for (double target : {1.5, 4.0, 8.0, 20.0}) {
      for (int32_t total = 0; total <= 120; ++total) {
        EXPECT_EQ(RunDistance(total, accel, target).Total(), total)
            << accel << " " << target << " " << total;
        EXPECT_EQ(jog(0).Mode, kRampIdle);
      }
    }
  }
  EXPECT_EQ(RunDistance(-23, 0.75, 4).Total(), -23);
}

// A distance without an acceleration step still has to be covered, at the target speed.
TEST_F(RampDistance, WithoutAccelerationRunsTheDistanceAtTheTargetSpeed) {
  const RampTrace t = RunDistance(-10, 0, 4);
  EXPECT_THAT(t.steps, ElementsAre(-4, -4, -2, 0));
  EXPECT_EQ(jog(0).Mode, kRampIdle);
}

TEST_F(RampDistance, ExtremeDistancesSaturate) {
  ramps().StartDistanceRamp(1, std::numeric_limits<int32_t>::min(), 0);
  EXPECT_EQ(jog(1).TotalSteps, std::numeric_limits<int32_t>::max());
  EXPECT_EQ(jog(1).TargetVelocity, -1);
  AxisRamp& r = jog(1);
  r.AccelStep = 1;
  r.TargetVelocity = r.Velocity = -1e12;
  r.DoneSteps = std::numeric_limits<int32_t>::max() - 10;
  const std::vector<SegmentRecord> out = Pass();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0][kStepElement + 1], -10);  // never past the distance
  EXPECT_EQ(r.DoneSteps, std::numeric_limits<int32_t>::max());
  EXPECT_EQ(r.TargetVelocity, 0);          // braking began
  const RampTrace t = Watch(1, 50, true);  // decelerating, neither stuck nor undefined
  ASSERT_EQ(t.velocities.size(), 50u);
  EXPECT_GT(t.velocities.back(), t.velocities.front());
}

}  // namespace
}  // namespace vaskel::testing
