#include <cmath>

#include "motion/motion_engine.h"

namespace vaskel {
namespace {

// The longest chain of same-tick steps is five; the bound only guards against a state
// variable a host or a later change set to something that would chain forever.
constexpr int kMaxStepsPerTick = 16;

}  // namespace

void MotionEngine::MotionStep() {
  Lock lock(mutex_);
  if (services_.host.engine.Get(engine::kEStopActive) && state() != kHalted) {
    AbortLocked();
    set_state(kHalted);
  }
  for (int i = 0; i < kMaxStepsPerTick; ++i) {
    if (resume_state() == kStopRequested) set_state(kBacklashTakeUp);
    if (!RunStateStep()) break;
  }
}

bool MotionEngine::RunStateStep() {
  switch (state()) {
    case kHalted:
      StepHalted();
      return false;
    case kRunning:
      StepRunning();
      return false;
    case kDwelling:
      StepDwelling();
      return false;
    case kBacklashTakeUp:
      return StepBacklashTakeUp();
    case kAwaitingSignal:
      return StepAwaitingSignal();
    case kStopRequested:
      StepStopRequested();
      return false;
    case kStopDraining:
      StepStopDraining();
      return false;
    case kHomeSwitchFound:
      return StepHomeSwitchFound();
    case kHomeSwitchReleased:
      StepHomeSwitchReleased();
      return false;
    case kJogging:
      StepJogging();
      return false;
    case kProbeTripped:
      StepProbeTripped();
      return false;
    default:
      // Not a state of this machine: stand still as after a reset.
      set_state(kHalted);
      return false;
  }
}

void MotionEngine::StepHalted() {
  if (!BoardDrainedAfterStop()) return;
  EndHalted();
  if (!services_.host.engine.Get(engine::kEStopActive)) set_state(kRunning);
}

void MotionEngine::EndHalted() {
  const HostBlock& engine = services_.host.engine;
  engine.Set(engine::kPluginMotionActive, false);
  engine.Set(engine::kPositionsChanged, true);
  CancelHomeRequest();
}

void MotionEngine::StepRunning() {
  if (segment_source() != kHostTrajectory) SelectSource(kHostTrajectory);
  // A home asked for before the host queued its program would otherwise set off by itself
  // once the program has streamed: it is refused while the host's queue holds anything.
  if (home_requested() && PendingEntries(kHostTrajectory) != 0) StartPendingHome();
  StreamSegments();
  // A reversal found while streaming has handed the tick to the take-up; the request waits.
  if (state() == kRunning) StartPendingHome();
}

void MotionEngine::StepDwelling() {
  const uint32_t now = services_.clock.TickCountMs();
  if (static_cast<int32_t>(now - dwell_end_tick()) < 0) return;
  services_.host.engine.Set(engine::kDwellActive, int32_t{0});
  set_state(kRunning);
}

bool MotionEngine::StepBacklashTakeUp() {
  if (!backlash_.TakeUpStep()) return false;
  // A stop asked for meanwhile goes out in this tick; the board may still hold the take-up's
  // last segments, and the stop command settles its record by what the board has run.
  ResumeAfterTakeUp();
  return true;
}

void MotionEngine::ResumeAfterTakeUp() {
  set_state(resume_state() != 0 ? resume_state() : kRunning);
  set_resume_state(0);
  // A dwell that took over during the take-up: the jog or home it interrupted is over. With a
  // stop held behind the take-up, the dwell took the place of what that stop interrupted; a
  // stop that still interrupts a jog or home ends it in its own clean-up.
  const int32_t behind = state() == kStopRequested ? stopped_state_.load() : state();
  if (segment_source() == kJogRing && !RunsJogRamps(behind)) {
    ramps_.StopAllRamps();
    SelectSource(kHostTrajectory);
    services_.host.engine.Set(engine::kPluginMotionActive, false);
  }
}

bool MotionEngine::StepAwaitingSignal() {
  uint8_t* signal = awaited_signal();
  if (signal != nullptr && HomeSwitchTable::Read(signal) != 0) {
    const int32_t next = pending_signal_state();
    if (next == kNoSignalState || next < kHalted || next > kProbeTripped) {
      set_state(kRunning);
      return false;
    }
    set_state(next);
    return true;
  }
  const int32_t pending = pending_signal_state();
  StepJogging();
  // Its ramps ran out without the signal: the home or probe is over all the same.
  if (state() == kRunning) EndSignalFlags(kAwaitingSignal, pending);
  return false;
}

void MotionEngine::StepStopRequested() {
  if (segment_source() == kJogRing) ramps_.StopAllRamps();
  SendStopCommand();
  if (dwell_after_stop_) {
    // The dwell came after the stop: it takes over from the drain, as it would have a tick on.
    dwell_after_stop_ = false;
    CleanUpStoppedActivity();
    // The jog the stop ended is over: the dwell streams nothing of it.
    if (segment_source() == kJogRing) SelectSource(kHostTrajectory);
    services_.host.engine.Set(engine::kDwellActive, int32_t{1});
    set_state(kDwelling);
    return;
  }
  set_state(kStopDraining);
}

// Sequence numbers run 1..16383 and wrap. The last processed status reply is fresh when it
// has moved on from `seen` and does not answer a request sent before `next` went out; a link
// that restarted its numbering lands outside that window too.
bool MotionEngine::FreshStatusSince(int32_t seen, int32_t next) const {
  constexpr int32_t kNumbers = 16383;
  const int32_t last = services_.link.last_status_sequence();
  if (last == seen) return false;
  const auto distance = [](int32_t from, int32_t to) {
    return ((to - from) % kNumbers + kNumbers) % kNumbers;
  };
  return distance(seen, last) >= distance(seen, next);
}

void MotionEngine::StepStopDraining() {
  if (!BoardDrainedAfterStop()) return;
  CleanUpStoppedActivity();
  set_state(kRunning);
}

// The stop has drained the board; what it interrupted is over and must not look as if it ran.
void MotionEngine::CleanUpStoppedActivity() {
  const HostBlock& engine = services_.host.engine;
  const int32_t stopped = stopped_state_.exchange(kRunning);
  const int32_t pending = pending_signal_state();
  if (stopped == kHalted) {
    EndHalted();  // what Halted would have done once drained
    return;
  }
  if (stopped == kDwelling) {
    engine.Set(engine::kDwellActive, int32_t{0});
    return;
  }
  if (stopped != kAwaitingSignal && stopped != kHomeSwitchFound && stopped != kHomeSwitchReleased &&
      stopped != kJogging && stopped != kProbeTripped) {
    return;
  }
  if (IsHomeInProgress(stopped, pending)) ClearHomingFlags(true);
  if (IsProbeInProgress(stopped, pending)) engine.Set(engine::kProbeActive, false);
  engine.Set(engine::kPluginMotionActive, false);
  engine.Set(engine::kPositionsChanged, true);
}

bool MotionEngine::StepHomeSwitchFound() {
  const int axis = homing_axis();
  if (!IsAxis(axis)) return false;
  double& target = ramps_.active_set()[static_cast<size_t>(axis)].TargetVelocity;
  target = -target / 2.0;
  if (std::fabs(target) < 1.0) target = target > 0 ? 1.0 : -1.0;
  set_awaited_signal(home_switches_.ReleasedByte(axis));
  set_pending_signal_state(kHomeSwitchReleased);
  set_state(kAwaitingSignal);
  return true;
}

void MotionEngine::StepHomeSwitchReleased() {
  if (pending_signal_state() == kHomeSwitchReleased) {
    AbortLocked(HostQueue::kKeep);
    set_pending_signal_state(kNoSignalState);
    home_stop_seen_sequence_ = services_.link.last_status_sequence();
    home_stop_next_sequence_ = services_.link.sequence_counter();
    return;
  }
  // The reference is the board's count once the stop has settled it.
  if (!FreshStatusSince(home_stop_seen_sequence_, home_stop_next_sequence_)) return;
  if (!BoardDrainedAfterStop() || !backlash_queue_.empty()) return;
  const HostBlocks& host = services_.host;
  const int axis = homing_axis();
  if (!IsAxis(axis)) return;
  host.engine.Set(engine::kAxisReferenced[static_cast<size_t>(axis)], true);
  // Negated through unsigned arithmetic: the count may be INT32_MIN.
  const auto count = static_cast<uint32_t>(services_.link.board_count(axis));
  services_.link.set_axis_offset(axis, static_cast<int32_t>(0u - count));
  // The host reads the positions when told they changed, maybe before the next reply does.
  host.engine.Set(engine::kAxisPosition[static_cast<size_t>(axis)], int32_t{0});
  const uint64_t word = host.planner.Get(planner::kHomingSignalWord);
  host.planner.Set(planner::kHomingSignalWord, word & ~(uint64_t{1} << 56));
  host.engine.Set(engine::kPositionsChanged, true);
  host.engine.Set(engine::kHomingActive, false);
  host.engine.Set(engine::kPluginMotionActive, false);
  set_state(kRunning);
}

void MotionEngine::StepJogging() {
  if (!ramps_.RampsIdleAndDrained()) {
    ramps_.GenerateRampSegments();
    StreamSegments();
    return;
  }
  if (!IsDeviceDrained()) return;
  const HostBlock& engine = services_.host.engine;
  engine.Set(engine::kPluginMotionActive, false);
  engine.Set(engine::kPositionsChanged, true);
  set_state(kRunning);
}

void MotionEngine::StepProbeTripped() {
  if (pending_signal_state() == kProbeTripped) {
    ramps_.StopAllRamps();
    AbortLocked(HostQueue::kKeep);
    set_pending_signal_state(kNoSignalState);
    return;
  }
  if (!BoardDrainedAfterStop()) return;
  const HostBlock& engine = services_.host.engine;
  engine.Set(engine::kPositionsChanged, true);
  engine.Set(engine::kProbeActive, false);
  // The probe move is over; the host must not go on seeing plug-in motion.
  engine.Set(engine::kPluginMotionActive, false);
  set_state(kRunning);
}

}  // namespace vaskel
