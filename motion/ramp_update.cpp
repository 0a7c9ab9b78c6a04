#include "motion/ramp_update.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "host/truncate.h"
#include "motion/segment_encoder.h"

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

// A distance ramp covers its whole distance. Where the mirrored braking would stop short, the
// rest runs at no more than the speed the ramp stopped from (one step per segment at least).
void CompleteDistance(AxisRamp& r, double previous) {
  if (r.Mode != kRampDistance || r.Velocity != 0) return;
  const int64_t remaining = int64_t{r.TotalSteps} - r.DoneSteps;
  if (remaining <= 0) return;
  const double cap = std::max(1.0, std::trunc(std::fabs(previous)));
  const double steps = std::min(static_cast<double>(remaining), cap);
  r.Velocity = r.DistanceSign < 0 ? -steps : steps;
  r.TargetVelocity = 0;
  r.LeftoverSteps = 0;
  r.ResumeVelocity = 0;
}

}  // namespace

bool UsableAccelStep(double accel_step) {
  return std::isfinite(accel_step) && accel_step > 0;
}

void UpdateAxisRamp(AxisRamp& r) {
  const double previous = r.Velocity;
  if (!UsableAccelStep(r.AccelStep)) {
    // Without an acceleration a distance still has to be covered: at the target speed.
    const double speed = previous != 0 ? previous : r.TargetVelocity;
    r.Velocity = 0;
    r.ResumeVelocity = 0;
    r.LeftoverSteps = 0;
    CompleteDistance(r, speed);
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
    if (BrakeDistanceRamp(r) != Brake::kRepeat) break;
  }
  CompleteDistance(r, previous);
}

int32_t TakeSegmentSteps(AxisRamp& r) {
  if (r.Mode == kRampDistance) {
    // A distance ramp drops the fraction of every segment; its braking counts whole steps, and
    // it never runs past its distance. No segment carries more than its field holds: the
    // rest of the distance follows in the next (a take-up's correction counts every step).
    int32_t s = std::clamp(TruncToInt32(r.Velocity), -kMaxFieldSteps, kMaxFieldSteps);
    const int64_t remaining = std::max<int64_t>(0, int64_t{r.TotalSteps} - r.DoneSteps);
    if (std::llabs(int64_t{s}) > remaining)
      s = static_cast<int32_t>(s < 0 ? -remaining : remaining);
    r.DoneSteps = TruncToInt32(std::fabs(static_cast<double>(s)) + r.DoneSteps);
    return s;
  }
  // A speed past what a field holds runs at the field's most: the excess is dropped, not
  // carried on, or a jog would run on after its key is let go.
  r.FractionalSteps += r.Velocity;
  const int32_t s = TruncToInt32(r.FractionalSteps);
  r.FractionalSteps -= s;
  return std::clamp(s, -kMaxFieldSteps, kMaxFieldSteps);
}

}  // namespace vaskel
