#pragma once
// Per-axis ramp state: a velocity in steps per segment that moves toward a target by a fixed
// step each segment, optionally covering a fixed distance.
#include <array>
#include <cstdint>

namespace vaskel {

enum RampMode : int32_t { kRampIdle = 0, kRampVelocity = 1, kRampDistance = 2 };

constexpr int kRampAxes = 6;

struct AxisRamp {
  double AccelStep = 0;
  double TargetVelocity = 0;
  double OvershootVelocity = 0;
  double Velocity = 0;
  double ResumeVelocity = 0;
  double FractionalSteps = 0;
  int32_t Mode = kRampIdle;
  int32_t TotalSteps = 0;
  int32_t AccelSteps = 0;
  int32_t LeftoverSteps = 0;
  int32_t DoneSteps = 0;
  // A distance ramp has reached its target speed. AccelSteps alone cannot say so: it is 0
  // both while accelerating and when the target came before the first whole step.
  bool TargetReached = false;
};

using RampSet = std::array<AxisRamp, kRampAxes>;

}  // namespace vaskel
