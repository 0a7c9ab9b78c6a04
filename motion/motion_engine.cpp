#include "motion/motion_engine.h"

#include "host/plugin_context.h"
#include "host/truncate.h"

namespace vaskel {

void MotionEngine::MotionReset() {
  Lock lock(mutex_);
  SelectSource(kJogRing);
  SelectSource(kHostTrajectory);
  ramps_.ClearSets();
  ramps_.RecomputeAccelSteps();
  backlash_.ResetDirections();
  backlash_queue_.Reset();
  clipping_reported_ = false;
}

void MotionEngine::Abort() {
  Lock lock(mutex_);
  AbortLocked();
}

void MotionEngine::AbortAndHalt() {
  Lock lock(mutex_);
  AbortLocked();
  set_state(kHalted);
}

void MotionEngine::AbortLocked() {
  const HostBlocks& host = ctx_.host();
  switch (state()) {
    case kRunning:
      host.engine.Set(engine::kTrajConsumerIndex, host.engine.Get(engine::kTrajProducerIndex));
      host.planner.Set(planner::kFlushPartial, true);
      break;
    case kAwaitingSignal:
      // A home that is still seeking its switch is over as well; the host must not go on
      // seeing it run.
      if (IsHomeInProgress(kAwaitingSignal, pending_signal_state())) ClearHomingFlags();
      ramps_.StopAllRamps();
      SelectSource(kHostTrajectory);
      break;
    case kBacklashTakeUp:
      ramps_.StopAllRamps();
      SelectSource(kHostTrajectory);
      // The take-up will not finish; the source it held must stream again once running.
      for (auto& s : suspended_) s.store(false, std::memory_order_release);
      backlash_.OnAbort();
      break;
    case kProbeTripped:
      ramps_.StopAllRamps();
      SelectSource(kHostTrajectory);
      break;
    case kHomeSwitchFound:
    case kHomeSwitchReleased:
    case kJogging:
      ClearHomingFlags();
      host.engine.Set(engine::kPluginMotionActive, false);
      ramps_.StopAllRamps();
      SelectSource(kHostTrajectory);
      break;
    default:
      break;
  }
  backlash_queue_.Reset();
  ctx_.link().SendCommand(kOpStopMotion, 0);
}

void MotionEngine::RequestStop() {
  Lock lock(mutex_);
  if (state() == kBacklashTakeUp) {
    if (resume_state() != kStopRequested) stopped_state_.store(resume_state());
    set_resume_state(kStopRequested);
  } else {
    stopped_state_.store(state());
    set_state(kStopRequested);
    set_resume_state(0);
  }
}

bool MotionEngine::StartOfMoveCheck() {
  Lock lock(mutex_);
  const HostBlocks& host = ctx_.host();
  if (host.engine.Get(engine::kEStopActive)) {
    ctx_.messages().Raise(kMsgMoveAtEStop);
    return false;
  }
  if (host.engine.Get(engine::kEngineOffline)) {
    ctx_.messages().Raise(kMsgEngineOffline);
    return false;
  }
  if (PendingEntries(kHostTrajectory) != 0 && state() != kBacklashTakeUp) {
    ctx_.messages().Raise(kMsgQueueNotEmpty);
    return false;
  }
  host.planner.Set(planner::kFlushPartial, false);
  host.engine.Set(engine::kPluginMotionActive, true);
  if (segment_source() != kBacklashRing) SelectSource(kJogRing);
  return true;
}

void MotionEngine::DoDwell(double time) {
  Lock lock(mutex_);
  const HostBlocks& host = ctx_.host();
  const double ms = host.planner.Get(planner::kDwellInMilliseconds) ? time : time * 1000.0;
  const uint32_t now = ctx_.platform().clock().TickCountMs();
  dwell_end_tick_.store(now + static_cast<uint32_t>(TruncToInt32(ms)), std::memory_order_relaxed);
  host.engine.Set(engine::kDwellActive, int32_t{1});
  set_state(kDwelling);
}

void MotionEngine::JogOn(int axis, int direction, double speed) {
  Lock lock(mutex_);
  const int32_t s = state();
  if (s != kRunning && s != kJogging) {
    ctx_.messages().Raise(kMsgJogNotAllowed);
    return;
  }
  requests_.jog_axis = axis;
  requests_.jog_direction = direction;
  requests_.jog_speed = speed;
  set_state(kJogging);
}

void MotionEngine::JogOff(int axis) {}

void MotionEngine::Probe() {
  ++requests_.probe_requests;
}

void MotionEngine::RecomputeAccelSteps() {
  Lock lock(mutex_);
  ramps_.RecomputeAccelSteps();
}

}  // namespace vaskel
