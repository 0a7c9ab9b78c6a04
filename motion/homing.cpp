#include "motion/motion_engine.h"

namespace vaskel {

void MotionEngine::Home(int axis) {
  if (!IsAxis(axis)) return;  // the host passes 0..5; anything else has no switch to seek
  Lock lock(mutex_);
  // A home asked for while the host's program runs would set off by itself when the program
  // ends, maybe minutes later: it is refused now, as any plug-in move would be.
  if (PendingEntries(kHostTrajectory) != 0) {
    // The host learns that no home runs, unless one already does.
    if (!IsHomeInProgress(state(), pending_signal_state())) ClearHomingFlags(false);
    services_.status.Raise(kMsgQueueNotEmpty);
    return;
  }
  home_axis_request_.store(axis, std::memory_order_relaxed);
  home_requested_.store(true, std::memory_order_release);
}

void MotionEngine::StartPendingHome() {
  if (!home_requested()) return;
  home_requested_.store(false, std::memory_order_release);
  const HostBlocks& host = services_.host;
  const int axis = home_axis_request();
  const auto a = static_cast<size_t>(axis);
  // Refused (E-stop, offline, the host queued meanwhile): the request is gone, nothing moved.
  if (const int32_t refusal = MoveRefusal(); refusal != 0) {
    ClearHomingFlags(false);
    services_.status.Raise(refusal);
    return;
  }
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
  if (!ramps_.StartVelocityRamp(axis, negative, ramps_.SpeedToStepsPerSegment(axis, v))) {
    ClearHomingFlags(false);
    return;
  }
  set_awaited_signal(home_switches_.ActiveByte(axis));
  set_pending_signal_state(kHomeSwitchFound);
  set_state(kAwaitingSignal);
  host.engine.Set(engine::kHomingActive, true);
}

// A home asked for and never started: the host raised its signal for it and must learn that
// none runs, or it waits on the signal for good.
void MotionEngine::CancelHomeRequest() {
  if (!home_requested_.exchange(false, std::memory_order_acq_rel)) return;
  if (!IsHomeInProgress(state(), pending_signal_state())) ClearHomingFlags(false);
}

// The host's homing signals are dropped and, for an aborted home, the axis loses its reference.
void MotionEngine::ClearHomingFlags(bool unreference) {
  const HostBlocks& host = services_.host;
  const int axis = homing_axis();
  if (unreference && IsAxis(axis)) {
    host.engine.Set(engine::kAxisReferenced[static_cast<size_t>(axis)], false);
  }
  const uint64_t word = host.planner.Get(planner::kHomingSignalWord);
  host.planner.Set(planner::kHomingSignalWord, word & ~(uint64_t{1} << 56));
  host.engine.Set(engine::kHomingActive, false);
}

// A home or probe that ends without its signal (its ramp stopped, its start refused, another
// move took over) must not go on showing as running. Its axis keeps its reference: nothing
// moved it outside the board's count.
void MotionEngine::EndSignalFlags(int32_t state, int32_t pending) {
  if (IsHomeInProgress(state, pending)) ClearHomingFlags(false);
  if (IsProbeInProgress(state, pending)) services_.host.engine.Set(engine::kProbeActive, false);
}

// A dwell or a probe takes over from a jog, home or probe: the interrupted ramps stop and what
// they had queued is dropped, or the next jog of any axis would send it. A probe that takes
// over from a probe goes on probing: ProbeActive stays.
void MotionEngine::TakeOverFromRamps(bool probing) {
  const int32_t s = state();
  // A probe ends the dwell it takes over; a dwell over a dwell keeps the flag it has just set.
  if (probing && s == kDwelling) services_.host.engine.Set(engine::kDwellActive, int32_t{0});
  if (!RunsJogRamps(s)) return;
  const int32_t pending = pending_signal_state();
  if (!(probing && IsProbeInProgress(s, pending))) EndSignalFlags(s, pending);
  SelectSource(kJogRing);
  ramps_.StopAllRamps();
  SelectSource(kHostTrajectory);
  services_.host.engine.Set(engine::kPluginMotionActive, false);
}

}  // namespace vaskel
