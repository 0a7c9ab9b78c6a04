#include "motion/motion_engine.h"

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

void MotionEngine::AbortLocked(HostQueue queue) {
  if (queue == HostQueue::kDrop) ++stops_asked_;
  // A dwell waiting for the stop command to go out will not follow it now.
  if (dwell_after_stop_) services_.host.engine.Set(engine::kDwellActive, int32_t{0});
  dwell_after_stop_ = false;
  EndActivity(state());
  // Whatever was in force, the host's queue goes with an abort the user or a limit asked
  // for: entries queued behind a dwell, a home or a probe would otherwise run later on a
  // machine the user had stopped. A home or probe that ends on its own signal leaves the
  // host's program alone; it streams once the move has drained.
  if (queue == HostQueue::kDrop) DropHostQueue();
  // An abort during a take-up stops the take-up's set; the jog's ring may still hold what the
  // interrupted move generated, and would send it with the next jog.
  ramps_.DiscardAll();
  // Nor does any move of the plug-in's own run on after an abort the user or a limit asked
  // for; a take-up that interrupted a jog leaves no generator pass to clear the flag.
  if (queue == HostQueue::kDrop) services_.host.engine.Set(engine::kPluginMotionActive, false);
  SendStopCommand();
}

void MotionEngine::DropHostQueue() {
  const HostBlocks& host = services_.host;
  // What was streamed of it belongs to the program given up: no rewind may send it again,
  // even one that comes before the stop command goes out.
  streamed_at_last_stop_ = streamed_total_;
  host.engine.Set(engine::kTrajConsumerIndex, host.engine.Get(engine::kTrajProducerIndex));
  host.planner.Set(planner::kFlushPartial, true);
}

// Take-ups the last status reply showed executed move into the offsets; the first one it did
// not show is dropped with the rest, and the axes turn back to their directions before it.
// After the stop a reply's fill is 0 and would make every record look executed.
void MotionEngine::SendStopCommand() {
  SettleBacklashRecords();
  backlash_queue_.Reset();
  streamed_at_last_stop_ = streamed_total_;
  if (observer_ != nullptr) observer_->OnStreamCut();
  services_.link.SendCommand(kOpStopMotion, 0);
}

void MotionEngine::EndActivity(int32_t activity) {
  const HostBlocks& host = services_.host;
  switch (activity) {
    case kRunning:
      DropHostQueue();
      break;
    case kAwaitingSignal:
      // A home that is still seeking its switch, or a probe, is over as well; the host must
      // not go on seeing it run.
      if (IsHomeInProgress(kAwaitingSignal, pending_signal_state())) ClearHomingFlags(true);
      if (IsProbeInProgress(kAwaitingSignal, pending_signal_state())) {
        host.engine.Set(engine::kProbeActive, false);
      }
      ramps_.StopAllRamps();
      SelectSource(kHostTrajectory);
      break;
    case kDwelling:
      // Nothing else ends an aborted dwell's flag: Halted and Running never look at it.
      host.engine.Set(engine::kDwellActive, int32_t{0});
      break;
    case kBacklashTakeUp:
      EndTakeUp();
      break;
    case kStopRequested:
    case kStopDraining: {
      // The stop will not get to its own clean-up: what it interrupted ends here, as an
      // abort would have ended it.
      const int32_t stopped = stopped_state_.exchange(kRunning);
      if (stopped == kHalted) {
        EndHalted();
      } else if (stopped != kRunning && stopped != kStopRequested && stopped != kStopDraining) {
        EndActivity(stopped);  // the host's queue was the stop's own to discard
      }
      break;
    }
    case kProbeTripped:
      // The trip's own abort leaves ProbeActive to the drain; any later abort ends the probe.
      if (pending_signal_state() != kProbeTripped) host.engine.Set(engine::kProbeActive, false);
      ramps_.StopAllRamps();
      SelectSource(kHostTrajectory);
      break;
    case kHomeSwitchFound:
    case kHomeSwitchReleased:
      // The home's own stop at the switch's release ends nothing: the home goes on until the
      // board has drained and the axis is referenced. Any other abort interrupts the home.
      if (activity == kHomeSwitchFound || pending_signal_state() != kHomeSwitchReleased) {
        ClearHomingFlags(true);
      }
      host.engine.Set(engine::kPluginMotionActive, false);
      ramps_.StopAllRamps();
      SelectSource(kHostTrajectory);
      break;
    case kJogging:
      // A jog homes nothing: the references of homed axes stand.
      host.engine.Set(engine::kPluginMotionActive, false);
      ramps_.StopAllRamps();
      SelectSource(kHostTrajectory);
      break;
    default:
      break;
  }
}

// The take-up will not finish. What it interrupted ends with it: otherwise the held host
// segments would keep the board from counting as drained, and a jog ramp would wake up with
// the next jog.
void MotionEngine::EndTakeUp() {
  const bool in_progress = backlash_.take_up_in_progress();
  const SegmentSourceId source = backlash_.interrupted_source();
  int32_t interrupted = resume_state();
  // A stop held for after the take-up goes out with the abort's own command; left pending, it
  // would wake a take-up over whatever state the abort leaves and skip that state's clean-up.
  const bool stop_held = interrupted == kStopRequested;
  if (stop_held) interrupted = stopped_state_.exchange(kRunning);
  ramps_.StopAllRamps();
  SelectSource(kHostTrajectory);
  for (auto& s : suspended_) s.store(false, std::memory_order_release);
  backlash_.OnAbort();
  if (stop_held) set_resume_state(0);
  if (!in_progress || interrupted == kBacklashTakeUp) return;
  SelectSource(source);  // its ramp set is the one to stop
  EndActivity(interrupted);
  SelectSource(kHostTrajectory);
}

void MotionEngine::RequestStop() {
  Lock lock(mutex_);
  // A home still waiting for the host's queue to empty must not set off once the stop is over,
  // nor a probe still in its start delay.
  CancelHomeRequest();
  ++stops_asked_;
  if (state() == kBacklashTakeUp && backlash_.take_up_in_progress()) {
    // Cut at once, as an abort cuts it: a slow take-up would hold the stop back for as long
    // as it has left to generate. The stop command settles its record by what the board ran.
    const int32_t interrupted = CutTakeUpInProgress();
    if (interrupted != kStopRequested)
      stopped_state_.store(interrupted != 0 ? interrupted : kRunning);
    set_resume_state(0);
    set_state(kStopRequested);
  } else if (state() == kBacklashTakeUp) {
    if (resume_state() != kStopRequested) stopped_state_.store(resume_state());
    set_resume_state(kStopRequested);
  } else {
    // A repeated stop keeps what the first one interrupted; that still has to be cleaned up.
    const int32_t s = state();
    if (s != kStopRequested && s != kStopDraining) stopped_state_.store(s);
    set_state(kStopRequested);
    set_resume_state(0);
  }
}

void MotionEngine::NoteEStop() {
  Lock lock(mutex_);
  const bool active = services_.host.engine.Get(engine::kEStopActive) != 0;
  if (active && !estop_seen_) {
    CancelHomeRequest();
    // At once, whatever the link's state or the machine's: a program queued during a drop, or
    // while the machine drains after a reset, must not run once the link is back.
    AbortLocked();
    set_state(kHalted);
  }
  estop_seen_ = active;
}

int32_t MotionEngine::MoveRefusal() {
  const HostBlocks& host = services_.host;
  if (host.engine.Get(engine::kEStopActive)) return kMsgMoveAtEStop;
  if (host.engine.Get(engine::kEngineOffline)) return kMsgEngineOffline;
  if (PendingEntries(kHostTrajectory) != 0 && state() != kBacklashTakeUp) return kMsgQueueNotEmpty;
  return 0;
}

bool MotionEngine::StartOfMoveCheck() {
  Lock lock(mutex_);
  const HostBlocks& host = services_.host;
  if (const int32_t refusal = MoveRefusal(); refusal != 0) {
    services_.status.Raise(refusal);
    return false;
  }
  host.engine.Set(engine::kPluginMotionActive, true);
  // FlushPartial is the host's word on its own stream: the plug-in's moves leave it alone
  // and flush their own tails (MayFlushPartial).
  if (segment_source() == kBacklashRing) return true;
  SelectSource(kJogRing);
  return true;
}

void MotionEngine::DoDwell(double time) {
  Lock lock(mutex_);
  const HostBlocks& host = services_.host;
  const double ms = host.planner.Get(planner::kDwellInMilliseconds) ? time : time * 1000.0;
  const uint32_t now = services_.clock.TickCountMs();
  dwell_end_tick_.store(now + static_cast<uint32_t>(TruncToInt32(ms)), std::memory_order_relaxed);
  host.engine.Set(engine::kDwellActive, int32_t{1});
  const int32_t s = state();
  // A take-up holds the stream it interrupted; only its finish releases it, so the dwell
  // follows the take-up, and a stop held for after the take-up ends the dwell as well.
  if (s == kBacklashTakeUp) {
    if (resume_state() == kStopRequested) {
      // The dwell takes the place of what the held stop interrupted: that ends here.
      EndSignalFlags(stopped_state_.load(), pending_signal_state());
      stopped_state_.store(kDwelling);
    } else {
      EndSignalFlags(resume_state(), pending_signal_state());
      set_resume_state(kDwelling);
    }
    return;
  }
  // The stop command goes out first; the dwell follows it.
  if (s == kStopRequested) {
    dwell_after_stop_ = true;
    return;
  }
  if (s == kStopDraining) {
    CleanUpStoppedActivity();
    host.engine.Set(engine::kDwellActive, int32_t{1});
  }
  // Halted never gets to its clean-up once the dwell has taken over.
  if (s == kHalted) EndHalted();
  TakeOverFromRamps(false);
  set_state(kDwelling);
}

void MotionEngine::RecomputeAccelSteps() {
  Lock lock(mutex_);
  ramps_.RecomputeJogAccelSteps();
}

}  // namespace vaskel
