#include "motion/motion_engine.h"

namespace vaskel {

void MotionEngine::Home(int axis) {
  if (!IsAxis(axis)) return;  // the host passes 0..5; anything else has no switch to seek
  home_axis_request_.store(axis, std::memory_order_relaxed);
  home_requested_.store(true, std::memory_order_release);
}

void MotionEngine::StartPendingHome() {
  if (!home_requested()) return;
  const HostBlocks& host = services_.host;
  const int axis = home_axis_request();
  const auto a = static_cast<size_t>(axis);
  set_homing_axis(axis);
  double v = -host.planner.Get(planner::kAxisVelocity[a]) *
             (host.planner.Get(planner::kHomeSpeedPercent[a]) / 200.0);
  if (!host.engine.Get(engine::kAxisReversed[a])) v = -v;
  if (!host.planner.Get(planner::kHomeDirection[a])) v = -v;
  for (int i = 0; i < 6; ++i) ramps_.StopAxisRamp(i);
  int negative = 0;
  if (!(v > 0)) {
    negative = 1;
    v = -v;
  }
  ramps_.StartVelocityRamp(axis, negative, ramps_.SpeedToStepsPerSegment(axis, v));
  set_awaited_signal(home_switches_.ActiveByte(axis));
  set_pending_signal_state(kHomeSwitchFound);
  set_state(kAwaitingSignal);
  host.engine.Set(engine::kHomingActive, true);
  home_requested_.store(false, std::memory_order_release);
}

// The homing axis loses its reference and the host's homing signals are dropped.
void MotionEngine::ClearHomingFlags() {
  const HostBlocks& host = services_.host;
  const int axis = homing_axis();
  if (IsAxis(axis)) host.engine.Set(engine::kAxisReferenced[static_cast<size_t>(axis)], false);
  const uint64_t word = host.planner.Get(planner::kHomingSignalWord);
  host.planner.Set(planner::kHomingSignalWord, word & ~(uint64_t{1} << 56));
  host.engine.Set(engine::kHomingActive, false);
}

}  // namespace vaskel
