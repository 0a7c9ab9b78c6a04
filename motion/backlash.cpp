#include "motion/backlash.h"

#include <limits>

#include "motion/motion_engine.h"

namespace vaskel {
namespace {

constexpr double kBacklashSpeedDivisor = 204800.0;

// The play is a width: a negative amount is taken by its magnitude (an axis the host runs
// the other way is already turned by AxisReversed), or the take-up would press against the
// reversal and its correction hide that from the DRO. Kept within what negates exactly.
int32_t UsableAmount(int32_t amount) {
  if (amount == std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::max();
  return amount < 0 ? -amount : amount;
}

}  // namespace

bool Backlash::AxisCompensated(size_t axis) const {
  const HostBlock& engine = services_.host.engine;
  return engine.Get(engine::kAxisEnabled[axis]) && engine.Get(engine::kBacklashAmount[axis]) != 0;
}

bool Backlash::DetectReversal(const StepCounts& steps) {
  const HostBlock& engine = services_.host.engine;
  if (!engine.Get(engine::kBacklashEnabled) || engine.Get(engine::kBacklashActive)) return false;
  const std::array<double, 6> before = last_direction_;
  bool any = false;
  for (size_t a = 0; a < 6; ++a) {
    if (!AxisCompensated(a)) continue;
    pending_[a] = false;
    // The count as stored: 0.4 steps is a reversal although it encodes as 0.
    const double n = steps[a];
    if (last_direction_[a] < 0 && n > 0) {
      pending_[a] = true;
      positive_[a] = true;
      last_direction_[a] = 1.0;
    } else if (last_direction_[a] > 0 && n < 0) {
      pending_[a] = true;
      positive_[a] = false;
      last_direction_[a] = -1.0;
    }
    any = any || pending_[a];
  }
  if (!any) return false;

  engine_.set_resume_state(engine_.state());
  engine_.set_state(kBacklashTakeUp);
  engine.Set(engine::kBacklashActive, true);
  interrupted_source_ = engine_.segment_source();
  engine_.set_source_suspended(interrupted_source_, true);
  in_progress_ = true;

  // Status processing reads the record once the open index has passed it.
  BacklashQueue& queue = engine_.backlash_queue();
  const uint32_t open = queue.open_index.load(std::memory_order_relaxed) & BacklashQueue::kMask;
  BacklashRecord& record = queue.records[open];
  record.start_marker.store(engine_.SegmentsSent(), std::memory_order_release);
  record.end_marker.store(0, std::memory_order_release);
  for (auto& marker : record.steps_end_marker) {
    marker.store(record.start_marker.load(std::memory_order_relaxed), std::memory_order_release);
  }
  for (auto& c : record.correction) c.store(0, std::memory_order_release);
  record.direction_before = before;
  queue.open_index.store((open + 1) & BacklashQueue::kMask, std::memory_order_release);
  record_open_ = true;

  engine_.SelectSource(kBacklashRing);
  return true;
}

bool Backlash::BacklashRampsBusy() {
  RampGenerator& ramps = engine_.ramps();
  if (ramps.backlash_ring().Pending() != 0) return true;
  // An empty ring is not the end of a distance ramp whose later segments are not generated yet.
  for (const AxisRamp& r : ramps.backlash_ramps()) {
    if (r.Mode != kRampIdle) return true;
  }
  return false;
}

bool Backlash::AxisTakeUpGenerated(size_t axis, bool& streamed) {
  RampGenerator& ramps = engine_.ramps();
  // The ramp's empty tail may still wait in the ring once its last step has gone out.
  const SegmentRing& ring = ramps.backlash_ring();
  const int32_t consumer = ring.consumer.load(std::memory_order_acquire);
  streamed = true;
  for (int32_t k = 0; k < ring.Pending() && streamed; ++k) {
    streamed =
        ring.records[static_cast<size_t>((consumer + k) & kSegmentRingMask)][kStepElement + axis] ==
        0.0;
  }
  // A distance ramp that has covered its distance only has its empty tail left to generate.
  const AxisRamp& r = ramps.backlash_ramps()[axis];
  const bool done = r.Mode == kRampIdle || (r.Mode == kRampDistance && r.DoneSteps >= r.TotalSteps);
  return in_progress_ && !pending_[axis] && done;
}

bool Backlash::TakeUpStep() {
  RampGenerator& ramps = engine_.ramps();
  if (BacklashRampsBusy()) {
    ramps.GenerateRampSegments();
    engine_.StreamSegments();
    return false;
  }
  ramps.RecomputeAccelSteps();
  for (size_t a = 0; a < 6; ++a) {
    if (!pending_[a]) continue;
    StartAxisTakeUp(a);
    ramps.GenerateRampSegments();
    engine_.StreamSegments();
    return false;
  }
  Finish();
  return true;
}

void Backlash::StartAxisTakeUp(size_t a) {
  const HostBlock& engine = services_.host.engine;
  const int32_t amount = UsableAmount(engine.Get(engine::kBacklashAmount[a]));
  const double speed = engine.Get(engine::kBacklashSpeed[a]) / kBacklashSpeedDivisor;
  const int32_t steps = positive_[a] ? amount : -amount;
  pending_[a] = false;
  // A refused take-up (engine offline) leaves the play to the reversing entry itself: its
  // first steps take it up with the tool standing still, so the correction holds all the same.
  engine_.ramps().StartDistanceRamp(static_cast<int>(a), steps, speed);
  if (!record_open_) return;
  BacklashQueue& queue = engine_.backlash_queue();
  const uint32_t closing =
      queue.closing_index.load(std::memory_order_relaxed) & BacklashQueue::kMask;
  queue.records[closing].correction[a].store(-steps, std::memory_order_release);
}

void Backlash::Finish() {
  if (!in_progress_) return;  // an abort has already released everything
  in_progress_ = false;
  const HostBlock& engine = services_.host.engine;
  engine_.SelectSource(interrupted_source_);
  engine_.set_source_suspended(interrupted_source_, false);
  // The take-up's own ramps set the flag; it stays only for the jog or home they interrupted.
  engine.Set(engine::kPluginMotionActive, interrupted_source_ == kJogRing);
  if (record_open_) {
    BacklashQueue& queue = engine_.backlash_queue();
    const uint32_t closing =
        queue.closing_index.load(std::memory_order_relaxed) & BacklashQueue::kMask;
    // The corrections are in; a non-zero end marker lets status processing apply them.
    queue.records[closing].end_marker.store(engine_.SegmentsSent(), std::memory_order_release);
    queue.closing_index.store((closing + 1) & BacklashQueue::kMask, std::memory_order_release);
    record_open_ = false;
  }
  engine_.SendEmptyMotionPacket();
  engine.Set(engine::kBacklashActive, false);
}

void Backlash::ResetDirections() {
  last_direction_.fill(1.0);
}

void Backlash::OnAbort() {
  pending_.fill(false);
  in_progress_ = false;
  record_open_ = false;  // the abort's queue reset has dropped it
  services_.host.engine.Set(engine::kBacklashActive, false);
  // A stop asked for during the take-up still acts; nothing else is left to resume.
  if (engine_.resume_state() != kStopRequested) engine_.set_resume_state(0);
}

}  // namespace vaskel
