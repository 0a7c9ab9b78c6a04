#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include "motion/motion_engine.h"
#include "platform/schedule_point.h"

namespace vaskel {
namespace {

constexpr uint32_t kProbeDelayMs = 1000;
constexpr uint32_t kWaitSliceMs = 100;
constexpr uint32_t kTakeUpPollMs = 20;
constexpr double kProbeMinDistance = 0.1;

void Wait(bool may_block, uint32_t ms) {
  if (may_block) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

void MotionEngine::Probe() {
  ProbeTicket ticket{};
  {
    Lock lock(mutex_);
    ticket = {services_.clock.TickCountMs(), ++probe_calls_, stops_asked_};
  }
  services_.workers.Spawn("vaskel-probe", [this, ticket](bool may_block) {
    return ProbeWorkerStep(ticket, may_block);
  });
}

bool MotionEngine::ProbeCancelled(const ProbeTicket& ticket) {
  if (ticket.stops == stops_asked_) return false;
  // A stop during the start delay ends the probe: the user stopped the machine, and a move
  // starting a moment later would defy that.
  if (ticket.call == probe_calls_) RefuseProbe(0);
  return true;
}

bool MotionEngine::ProbeWorkerStep(const ProbeTicket& ticket, bool may_block) {
  {
    Lock lock(mutex_);
    if (ProbeCancelled(ticket)) return false;
  }
  const uint32_t elapsed = services_.clock.TickCountMs() - ticket.start_ms;
  if (elapsed < kProbeDelayMs) {
    Wait(may_block, std::min(kProbeDelayMs - elapsed, kWaitSliceMs));
    return true;
  }
  // The start delay is over; the host and the tick may still change the state before the
  // probe takes the lock to look at it.
  VASKEL_SCHEDULE_POINT(services_.workers, "probe: start delay over");
  {
    Lock lock(mutex_);
    if (ProbeCancelled(ticket)) return false;
    // A take-up owns the ramps and the stream it interrupted until it finishes, and a stop
    // asked for before the probe sends its command first.
    if (state() != kBacklashTakeUp && state() != kStopRequested) {
      StartProbeMove();
      return false;
    }
  }
  Wait(may_block, kTakeUpPollMs);
  return true;
}

void MotionEngine::StartProbeMove() {
  const HostBlocks& host = services_.host;
  using namespace input_signal;
  if (!host.engine.Load<uint8_t>(Offset(engine::kProbeInput, kEnabled))) {
    RefuseProbe(kMsgProbeDisabled);
    return;
  }
  // Refused before anything is taken over: the probe must not arm its trip on the host's
  // program or stop a jog it was never allowed to replace.
  if (const int32_t refusal = MoveRefusal(); refusal != 0) {
    RefuseProbe(refusal);
    return;
  }
  if (state() == kStopDraining) {
    // The stop's command is out and the probe takes over its drain: what the stop interrupted
    // ends here, as the drain would have ended it. The host's flag is for this probe.
    const bool probing = host.engine.Get(engine::kProbeActive);
    CleanUpStoppedActivity();
    host.engine.Set(engine::kProbeActive, probing);
  }
  TakeOverFromRamps(true);
  double s = host.planner.Get(planner::kProbeFeedRate);
  // With no axis far enough from its target the previous probe axis moves again.
  int axis = probe_axis();
  for (size_t i = 0; i < 6; ++i) {
    if (!host.engine.Get(engine::kAxisEnabled[i])) continue;
    const double target = host.planner.Get(planner::kProbeTarget[i]);
    const double current = host.planner.Get(planner::kAxisCurrentPosition[i]);
    if (!(std::fabs(target - current) >= kProbeMinDistance)) continue;
    axis = static_cast<int>(i);
    if (target > current - host.planner.Get(planner::kAxisPositionOffset[i])) s = -s;
  }
  if (!IsAxis(axis)) axis = 0;
  set_probe_axis(axis);
  if (!host.engine.Get(engine::kAxisReversed[static_cast<size_t>(axis)])) s = -s;
  int negative = 0;
  if (!(s > 0)) {
    negative = 1;
    s = -s;
  }
  if (!ramps_.StartVelocityRamp(axis, negative, ramps_.SpeedToStepsPerSegment(axis, s))) {
    RefuseProbe(0);  // the ramp rule has shown its own message
    return;
  }
  set_awaited_signal(host.engine.ByteAt(Offset(engine::kProbeInput, kActive)));
  set_pending_signal_state(kProbeTripped);
  set_state(kAwaitingSignal);
}

// The host learns that no probe runs: the probe is over before it began.
void MotionEngine::RefuseProbe(int32_t message) {
  const HostBlocks& host = services_.host;
  host.engine.Set(engine::kProbeRunning, int32_t{0});
  host.planner.Set(planner::kProbePending, int32_t{0});
  host.engine.Set(engine::kProbeActive, false);
  if (message != 0) services_.status.Raise(message);
}

}  // namespace vaskel
