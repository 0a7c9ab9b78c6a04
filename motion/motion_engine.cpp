#include "motion/motion_engine.h"

#include "host/plugin_context.h"
#include "host/truncate.h"

namespace vaskel {

void MotionEngine::MotionReset() {
  backlash_queue_.Reset();
  RecomputeAccelSteps();
}

void MotionEngine::MotionStep() {}

void MotionEngine::Abort() {}

void MotionEngine::RequestStop() {
  if (state() == kBacklashTakeUp) {
    resume_state_.store(kStopRequested, std::memory_order_release);
  } else {
    set_state(kStopRequested);
    resume_state_.store(0, std::memory_order_release);
  }
}

void MotionEngine::DiscardHostTrajectory() {
  const HostBlock& engine = ctx_.host().engine;
  const int32_t producer = (engine.Get(engine::kTrajProducerIndex) + 256) & 0xfff;
  engine.Set(engine::kTrajProducerIndex, producer);
  engine.Set(engine::kTrajConsumerIndex, producer);
}

void MotionEngine::DoDwell(double time) {
  const HostBlocks& host = ctx_.host();
  const double ms = host.planner.Get(planner::kDwellInMilliseconds) ? time : time * 1000.0;
  const uint32_t now = ctx_.platform().clock().TickCountMs();
  dwell_end_tick_.store(now + static_cast<uint32_t>(TruncToInt32(ms)), std::memory_order_relaxed);
  host.engine.Set(engine::kDwellActive, int32_t{1});
  set_state(kDwelling);
}

void MotionEngine::JogOn(int axis, int direction, double speed) {
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

void MotionEngine::Home(int axis) {
  requests_.home_axis = axis;
  requests_.home_requested = true;
}

void MotionEngine::Probe() {
  ++requests_.probe_requests;
}

void MotionEngine::RecomputeAccelSteps() {
  ramps_.RecomputeAccelSteps();
}

bool MotionEngine::StartOfMoveCheck() {
  return true;
}

void MotionEngine::RewindSelectedSource(int32_t fill) {}

void MotionEngine::ScanInputs() {}

uint32_t MotionEngine::BuildOutputWord() const {
  return 0;
}

}  // namespace vaskel
