#include "motion/spindle.h"

#include <algorithm>
#include <cstdint>

#include "host/truncate.h"

namespace vaskel {

void Spindle::OnSpeedCommand(const HostBlocks& host) {
  if (!host.planner.Get(planner::kSpindleStartAllowed) ||
      !host.planner.Get(planner::kSpindleSpeedControlled)) {
    return;
  }
  double ratio = host.planner.Get(planner::kSpindleSpeedRatio);
  if (ratio > 1.0) ratio = 1.0;
  // A negative (or NaN) ratio would reach the board as the low 16 bits of a negative value,
  // that is as a speed far above full; it asks for the slowest speed instead.
  if (!(ratio > 0.0)) ratio = 0.0;
  int32_t n = TruncToInt32(ratio * kFullSpeed);
  if (n == 0) n = 1;
  set_target(n);
}

void Spindle::OnStopCommand(const HostBlocks& host) {
  if (host.planner.Get(planner::kSpindleSpeedControlled)) set_target(0);
}

void Spindle::StepSpindleRamp() {
  // In 64 bits, so a target near the ends of the int32 range cannot overflow the step.
  const int64_t value = this->value();
  const int64_t target = this->target();
  if (value == target) return;
  const int64_t next =
      value < target ? std::min(value + kRampStep, target) : std::max(value - kRampStep, target);
  set_value(static_cast<int32_t>(next));
}

}  // namespace vaskel
