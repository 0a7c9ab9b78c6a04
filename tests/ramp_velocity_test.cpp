#include <cmath>

#include "ramp_fixture.h"

namespace vaskel::testing {
namespace {

using ::testing::ElementsAre;

using RampVelocity = RampTest;

TEST_F(RampVelocity, FractionsCarryOverAndKeepTheirSign) {
  jog(0).AccelStep = 0.25;
  ramps().StartVelocityRamp(0, 0, 1);
  RampTrace s = Watch(0, 5);
  EXPECT_THAT(s.velocities, ElementsAre(0.25, 0.5, 0.75, 1, 1));
  EXPECT_THAT(s.steps, ElementsAre(0, 0, 1, 1, 1));
  EXPECT_THAT(s.fractions, ElementsAre(0.25, 0.75, 0.5, 0.5, 0.5));

  jog(0) = AxisRamp{};
  jog(0).AccelStep = 0.25;
  ramps().StartVelocityRamp(0, 1, 1);
  s = Watch(0, 5);
  EXPECT_THAT(s.velocities, ElementsAre(-0.25, -0.5, -0.75, -1, -1));
  EXPECT_THAT(s.steps, ElementsAre(0, 0, -1, -1, -1));
  EXPECT_THAT(s.fractions, ElementsAre(-0.25, -0.75, -0.5, -0.5, -0.5));
}

TEST_F(RampVelocity, JogOffDeceleratesToIdleWithoutLosingSteps) {
  jog(0).AccelStep = 0.25;
  ramps().StartVelocityRamp(0, 0, 1);
  Watch(0, 5);  // 3 steps out, 0.5 pending
  ramps().StopAxisRamp(0);
  const RampTrace s = Watch(0, 4);
  EXPECT_THAT(s.velocities, ElementsAre(0.75, 0.5, 0.25, 0));
  EXPECT_THAT(s.steps, ElementsAre(1, 0, 1, 0));
  EXPECT_EQ(jog(0).Mode, kRampIdle);
  EXPECT_TRUE(Pass().empty());
}

// A jog turned round passes through zero, here landing on it exactly, and runs on to its new
// target; only a target of zero ends a velocity ramp.
TEST_F(RampVelocity, RetargetAcrossZeroRunsOnToTheNewTarget) {
  jog(0).AccelStep = 0.5;
  ramps().StartVelocityRamp(0, 0, 1);
  EXPECT_THAT(Watch(0, 2).velocities, ElementsAre(0.5, 1));
  ramps().StartVelocityRamp(0, 1, 1);
  const RampTrace s = Watch(0, 5);
  EXPECT_THAT(s.velocities, ElementsAre(0.5, 0, -0.5, -1, -1));
  EXPECT_EQ(jog(0).Mode, kRampVelocity);
  EXPECT_THAT(s.steps, ElementsAre(1, 0, 0, -1, -1));
  ramps().StopAxisRamp(0);
  EXPECT_THAT(Run(0).velocities, ElementsAre(-0.5, 0));
  EXPECT_EQ(jog(0).Mode, kRampIdle);
}

TEST_F(RampVelocity, MagnitudeBelowOneRunsAtOne) {
  for (double m : {0.2, 0.0, -5.0, std::nan("")}) {
    ramps().StartVelocityRamp(0, 0, m);
    EXPECT_EQ(jog(0).TargetVelocity, 1) << m;
    ramps().StartVelocityRamp(0, 1, m);
    EXPECT_EQ(jog(0).TargetVelocity, -1) << m;
  }
  ramps().StartVelocityRamp(0, 7, 2.5);
  EXPECT_EQ(jog(0).TargetVelocity, -2.5);
}

TEST_F(RampVelocity, RetargetKeepsVelocityAndFraction) {
  AxisRamp& r = jog(3);
  r.AccelStep = 0.5;
  r.Velocity = 2;
  r.FractionalSteps = 0.25;
  r.ResumeVelocity = 1;
  ramps().StartVelocityRamp(3, 1, 4);
  EXPECT_EQ(r.Mode, kRampVelocity);
  EXPECT_EQ(r.Velocity, 2);
  EXPECT_EQ(r.FractionalSteps, 0.25);
  EXPECT_EQ(r.ResumeVelocity, 0);
  EXPECT_THAT(Watch(3, 2).velocities, ElementsAre(1.5, 1));
}

}  // namespace
}  // namespace vaskel::testing
