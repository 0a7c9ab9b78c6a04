#include "motion/ramp_update.h"

#include <cmath>
#include <cstdlib>
#include <limits>

#include "host/truncate.h"

namespace vaskel {
namespace {

int32_t Saturate(int64_t v) {
  if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

// The inserted partial segment: the leftover distance runs once, where the falling velocity
// comes within one acceleration step of it.
bool InsertLeftover(AxisRamp& r) {
  if (r.LeftoverSteps == 0) return false;
  const double leftover = r.LeftoverSteps;
  if (!(std::fabs(std::fabs(r.Velocity) - leftover) < r.AccelStep)) return false;
  r.ResumeVelocity = r.Velocity;
  r.Velocity = r.Velocity < 0 ? -leftover : leftover;
  r.LeftoverSteps = 0;
  return true;
}

// A step that reaches the target, exactly or past it, keeps its unclamped value: braking
// mirrors the acceleration from there.
void StepTowardTarget(AxisRamp& r) {
  if (r.Velocity < r.TargetVelocity) {
    r.Velocity += r.AccelStep;
    if (r.Velocity >= r.TargetVelocity) {
      r.OvershootVelocity = r.Velocity;
      r.Velocity = r.TargetVelocity;
    }
  }
  if (r.Velocity > r.TargetVelocity) {
    r.Velocity -= r.AccelStep;
    if (r.Velocity <= r.TargetVelocity) {
      r.OvershootVelocity = r.Velocity;
      r.Velocity = r.TargetVelocity;
    }
  }
}

enum class Brake { kNone, kFinish, kRepeat };

// Decides when a distance ramp starts to brake so that the mirrored deceleration plus one
// inserted partial segment ends on the distance. Wide integers: host distances can be large.
Brake BrakeDistanceRamp(AxisRamp& r) {
  if (r.Mode != kRampDistance || r.TargetVelocity == 0) return Brake::kNone;
  const int64_t e = std::llabs(static_cast<int64_t>(TruncToInt32(r.Velocity)));
  const int64_t total = r.TotalSteps;
  const int64_t done = r.DoneSteps;
  if (!r.TargetReached) {
    if (2 * e + 2 * done > total) {
      const int64_t leftover = total - 2 * done;
      r.TargetVelocity = 0;
      if (leftover > e) {
        r.LeftoverSteps = Saturate(leftover - e);
        return Brake::kFinish;
      }
      r.LeftoverSteps = Saturate(leftover);
      return Brake::kRepeat;
    }
    if (r.Velocity == r.TargetVelocity) {
      r.AccelSteps = r.DoneSteps;
      r.TargetReached = true;
    }
    return Brake::kNone;
  }
  if (total - done - e <= r.AccelSteps) {
    r.LeftoverSteps = Saturate(total - done - r.AccelSteps);
    r.TargetVelocity = 0;
    r.Velocity = r.OvershootVelocity;
    return Brake::kRepeat;
  }
  return Brake::kNone;
}

}  // namespace

bool UsableAccelStep(double accel_step) {
  return std::isfinite(accel_step) && accel_step > 0;
}

void UpdateAxisRamp(AxisRamp& r) {
  if (!UsableAccelStep(r.AccelStep)) {
    r.Velocity = 0;
    r.ResumeVelocity = 0;
    r.LeftoverSteps = 0;
    return;
  }
  // Braking sets the target to 0, so the second run never brakes again.
  for (int run = 0; run < 2; ++run) {
    if (InsertLeftover(r)) return;
    if (r.ResumeVelocity != 0) {
      r.Velocity = r.ResumeVelocity;
      r.ResumeVelocity = 0;
    }
    StepTowardTarget(r);
    if (BrakeDistanceRamp(r) != Brake::kRepeat) return;
  }
}

int32_t TakeSegmentSteps(AxisRamp& r) {
  if (r.Mode == kRampDistance) {
    // A distance ramp drops the fraction of every segment; its braking counts whole steps.
    const int32_t s = TruncToInt32(r.Velocity);
    r.DoneSteps = TruncToInt32(std::fabs(static_cast<double>(s)) + r.DoneSteps);
    return s;
  }
  r.FractionalSteps += r.Velocity;
  const int32_t s = TruncToInt32(r.FractionalSteps);
  r.FractionalSteps -= s;
  return s;
}

}  // namespace vaskel
