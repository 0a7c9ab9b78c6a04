#include "motion/spindle.h"

namespace vaskel {

void Spindle::OnSpeedCommand(const HostBlocks& host) {
  if (!host.planner.Get(planner::kSpindleStartAllowed) ||
      !host.planner.Get(planner::kSpindleSpeedControlled)) {
    return;
  }
  double ratio = host.planner.Get(planner::kSpindleSpeedRatio);
  if (ratio > 1.0) ratio = 1.0;
  // A negative (or NaN) ratio would reach the board as a huge 16-bit value; it asks for the
  // slowest speed instead. Anything that truncates to 0 asks for the slowest speed too.
  if (!(ratio > 0.0)) ratio = 0.0;
  auto n = static_cast<int32_t>(ratio * kFullSpeed);
  if (n == 0) n = 1;
  set_target(n);
}

void Spindle::OnStopCommand(const HostBlocks& host) {
  if (host.planner.Get(planner::kSpindleSpeedControlled)) set_target(0);
}

void Spindle::StepSpindleRamp() {
  int32_t value = this->value();
  const int32_t target = this->target();
  if (value == target) return;
  if (value < target) {
    value += kRampStep;
    if (value > target) value = target;
  }
  if (value > target) {
    value -= kRampStep;
    if (value < target) value = target;
  }
  set_value(value);
}

}  // namespace vaskel
