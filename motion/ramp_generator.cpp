#include "motion/ramp_generator.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "host/truncate.h"
#include "motion/motion_engine.h"
#include "motion/ramp_update.h"

namespace vaskel {
namespace {

bool ValidAxis(int axis) {
  return axis >= 0 && axis < kRampAxes;
}

bool AnyInMode(const RampSet& set, int32_t mode) {
  return std::any_of(set.begin(), set.end(), [mode](const AxisRamp& r) { return r.Mode == mode; });
}

// Ramp speeds below one step per segment run at one; NaN too.
double AtLeastOneStep(double magnitude) {
  return magnitude >= 1 ? magnitude : 1;
}

// A velocity ramp passing through zero on its way to a target beyond it (a reversed jog, a
// home backing off its switch) runs on. A distance ramp ends on zero, and so does a ramp that
// cannot accelerate: it would stand still for ever.
bool RampEnded(const AxisRamp& r) {
  if (r.Velocity != 0) return false;
  return r.Mode == kRampDistance || r.TargetVelocity == 0 || !UsableAccelStep(r.AccelStep);
}

}  // namespace

void RampGenerator::Select(SegmentSourceId source) {
  source_ = source;
  if (source != kHostTrajectory) active_ = source;
}

void RampGenerator::DiscardAll() {
  for (RampSet* set : {&jog_ramps_, &backlash_ramps_}) {
    for (AxisRamp& r : *set) {
      r.Velocity = 0;
      r.TargetVelocity = 0;
      r.Mode = kRampIdle;
    }
  }
  for (SegmentRing* ring : {&jog_ring_, &backlash_ring_}) {
    ring->consumer.store(ring->producer.load(std::memory_order_acquire), std::memory_order_release);
  }
}

void RampGenerator::ClearSets() {
  jog_ramps_ = RampSet{};
  backlash_ramps_ = RampSet{};
}

double RampGenerator::SpeedToStepsPerSegment(int axis, double speed) const {
  if (!ValidAxis(axis)) return 0;
  const HostBlock& planner = services_.host.planner;
  return speed * planner.Get(planner::kStepsPerUnit[axis]) * SegmentPeriod();
}

void RampGenerator::RecomputeAccelSteps() {
  RecomputeAccelSteps(active_set());
}

void RampGenerator::RecomputeJogAccelSteps() {
  RecomputeAccelSteps(jog_ramps_);
}

void RampGenerator::RecomputeAccelSteps(RampSet& set) {
  const HostBlock& planner = services_.host.planner;
  const double period = SegmentPeriod();
  for (int i = 0; i < kRampAxes; ++i) {
    const double step =
        (planner.Get(planner::kAxisAcceleration[i]) * planner.Get(planner::kStepsPerUnit[i])) *
        (period * period) / 2;
    // A negative step would drive the velocity away from its target for ever.
    set[i].AccelStep = UsableAccelStep(step) ? step : 0;
  }
}

bool RampGenerator::StartVelocityRamp(int axis, int negative, double magnitude) {
  if (!ValidAxis(axis)) return false;
  if (!engine_.StartOfMoveCheck()) return false;
  RampSet& set = active_set();
  if (AnyInMode(set, kRampDistance)) {
    services_.status.Raise(kMsgSpeedJogInvalid);
    return false;
  }
  AxisRamp& r = set[axis];
  r.Mode = kRampVelocity;
  const double m = AtLeastOneStep(magnitude);
  r.TargetVelocity = negative != 0 ? -m : m;
  r.ResumeVelocity = 0;
  return true;
}

bool RampGenerator::StartDistanceRamp(int axis, int32_t steps, double speed) {
  if (!ValidAxis(axis)) return false;
  if (!engine_.StartOfMoveCheck()) return false;
  RampSet& set = active_set();
  if (AnyInMode(set, kRampVelocity)) {
    services_.status.Raise(kMsgSpeedJogInvalid);
    return false;
  }
  AxisRamp& r = set[axis];
  r.Mode = kRampDistance;
  const double m = AtLeastOneStep(SpeedToStepsPerSegment(axis, speed));
  r.TargetVelocity = steps < 0 ? -m : m;
  r.DistanceSign = steps < 0 ? -1 : 1;
  r.ResumeVelocity = 0;
  r.AccelSteps = 0;
  r.TargetReached = false;
  r.TotalSteps = steps == std::numeric_limits<int32_t>::min() ? std::numeric_limits<int32_t>::max()
                                                              : std::abs(steps);
  r.LeftoverSteps = 0;
  r.DoneSteps = 0;
  return true;
}

void RampGenerator::StopAxisRamp(int axis) {
  if (!ValidAxis(axis)) return;
  AxisRamp& r = jog_ramps_[axis];
  if (r.Mode == kRampDistance) {
    services_.status.Raise(kMsgStopPosJogIllegal);
    return;
  }
  r.TargetVelocity = 0;
}

void RampGenerator::StopAllRamps() {
  for (AxisRamp& r : active_set()) {
    r.Velocity = 0;
    r.TargetVelocity = 0;
    r.Mode = kRampIdle;
  }
  const HostBlocks& host = services_.host;
  SegmentRing& ring = active_ring();
  ring.consumer.store(ring.producer.load(std::memory_order_acquire), std::memory_order_release);
  // With the host's queue current (a move whose start was refused), the stop empties that
  // queue too: Halted never streams it and would wait on it for ever. FlushPartial is the
  // host's word on its own stream, written here only where that stream is thrown away; the
  // ramps' own tail is flushed without it (MotionEngine::MayFlushPartial).
  if (source_ == kHostTrajectory) {
    host.planner.Set(planner::kFlushPartial, true);
    host.engine.Set(engine::kTrajConsumerIndex, host.engine.Get(engine::kTrajProducerIndex));
  }
}

bool RampGenerator::AllIdle(const RampSet& set) {
  return !AnyInMode(set, kRampVelocity) && !AnyInMode(set, kRampDistance);
}

bool RampGenerator::RampsIdleAndDrained() {
  for (AxisRamp& r : active_set()) {
    if (r.Mode != kRampIdle) return false;
    r.FractionalSteps = 0;
  }
  // A refused start leaves the host's queue current; the Jogging step streams it until empty.
  if (source_ == kHostTrajectory) return engine_.PendingEntries(kHostTrajectory) == 0;
  const SegmentRing& ring = active_ring();
  return ring.producer.load(std::memory_order_acquire) ==
         ring.consumer.load(std::memory_order_acquire);
}

void RampGenerator::GenerateRampSegments() {
  RampSet& set = active_set();
  SegmentRing& ring = active_ring();
  while (PassAllowed(ring.Pending())) {
    bool any_active = false;
    for (AxisRamp& r : set) {
      if (r.Mode == kRampIdle) continue;
      any_active = true;
      UpdateAxisRamp(r);
      EmitRampSegment(set, ring);
      if (RampEnded(r)) r.Mode = kRampIdle;
    }
    if (!any_active) {
      const HostBlocks& host = services_.host;
      // The tail goes out short without FlushPartial (MotionEngine::MayFlushPartial): the
      // flag is the host's, and a program it queued meanwhile must not stream padded.
      host.engine.Set(engine::kPluginMotionActive, false);
      return;
    }
  }
}

// Queued milliseconds are compared with a limit in records (200 ms at 3 ms segments gives 66),
// so a pass starts while fewer than 22 records are queued: the look-ahead moves are tuned to.
bool RampGenerator::PassAllowed(int32_t fill) const {
  if (fill > kMaxQueuedRecords - kRampAxes) return false;
  const double period = SegmentPeriod();
  const int32_t setting =
      std::max(services_.jog_buffer_ms.load(std::memory_order_relaxed), kMinJogBufferMs);
  const int32_t limit = TruncToInt32(setting / (period * 1000.0));
  // A period as long as the look-ahead would leave no room for a single record, and nothing
  // would ever move: a packet's worth is always allowed.
  return fill < MotionEngine::kSegmentsPerPacket || BufferedMilliseconds(fill) < limit;
}

void RampGenerator::EmitRampSegment(RampSet& set, SegmentRing& ring) {
  const int32_t producer = ring.producer.load(std::memory_order_relaxed) & kSegmentRingMask;
  SegmentRecord& record = ring.records[producer];
  record.fill(0);
  for (int i = 0; i < kRampAxes; ++i) {
    record[kStepElement + i] = static_cast<double>(TakeSegmentSteps(set[i]));
  }
  ring.producer.store((producer + 1) & kSegmentRingMask, std::memory_order_release);
}

int32_t RampGenerator::BufferedMilliseconds(int32_t count) const {
  return TruncToInt32(count * SegmentPeriod() * 1000.0);
}

double RampGenerator::SegmentPeriod() const {
  const double period = services_.host.planner.Get(planner::kSegmentPeriod);
  // A period the host never set, or spoilt, must not let the look-ahead run to seconds of
  // motion that a jog-off or a home's reversal would have to wait behind.
  return std::isfinite(period) && period > 0 ? period : kDefaultSegmentPeriod;
}

}  // namespace vaskel
