#include "motion/motion_engine.h"

namespace vaskel {

void MotionEngine::JogOn(int axis, int direction, double speed) {
  Lock lock(mutex_);
  const int32_t s = state();
  if (s != kRunning && s != kJogging) {
    services_.status.Raise(kMsgJogNotAllowed);
    return;
  }
  if (!IsAxis(axis)) return;  // the host passes 0..5; there is no other axis to jog
  const HostBlocks& host = services_.host;
  const auto a = static_cast<size_t>(axis);
  double v = host.planner.Get(planner::kAxisVelocity[a]);
  uint8_t* full_speed = host.window.Get(window::kJogFullSpeed);
  if (full_speed == nullptr || HomeSwitchTable::Read(full_speed) == 0) {
    v = v * host.setup.Get(setup::kJogPercent) / 100.0;
  }
  if (speed != 0) v = speed;
  // A refused jog changes nothing but the status line: entering Jogging over the host's
  // stream would flush and pad the host's contour.
  if (!ramps_.StartVelocityRamp(axis, direction, ramps_.SpeedToStepsPerSegment(axis, v))) return;
  set_state(kJogging);
}

void MotionEngine::JogOff(int axis) {
  Lock lock(mutex_);
  ramps_.StopAxisRamp(axis);
}

}  // namespace vaskel
