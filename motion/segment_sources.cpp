#include <algorithm>

#include "motion/motion_engine.h"

namespace vaskel {

void MotionEngine::SelectSource(SegmentSourceId source) {
  Lock lock(mutex_);
  ramps_.Select(source);
  source_.store(source, std::memory_order_release);
}

bool MotionEngine::IsDeviceDrained() {
  if (services_.link.device_fill() > 1) return false;
  const SegmentSourceId s = segment_source();
  return PendingEntries(s) == 0 || source_suspended(s);
}

// After a stop command, the drain waits for the board and the plug-in's own rings only: what
// the host queues meanwhile is a new program that Running streams, and must not hold a drain
// that would otherwise never end.
bool MotionEngine::BoardDrainedAfterStop() {
  if (services_.link.device_fill() > 1) return false;
  const SegmentSourceId s = segment_source();
  return s == kHostTrajectory || PendingEntries(s) == 0 || source_suspended(s);
}

// Unsigned: the host's indices are plain words of its memory and may hold anything.
int32_t MotionEngine::PendingEntries(SegmentSourceId s) {
  const uint32_t pending = static_cast<uint32_t>(Producer(s)) - static_cast<uint32_t>(Consumer(s));
  return static_cast<int32_t>(pending & kSegmentRingMask);
}

int32_t MotionEngine::Producer(SegmentSourceId s) {
  switch (s) {
    case kJogRing:
      return ramps_.jog_ring().producer.load(std::memory_order_acquire);
    case kBacklashRing:
      return ramps_.backlash_ring().producer.load(std::memory_order_acquire);
    default:
      return services_.host.engine.Get(engine::kTrajProducerIndex);
  }
}

int32_t MotionEngine::Consumer(SegmentSourceId s) {
  switch (s) {
    case kJogRing:
      return ramps_.jog_ring().consumer.load(std::memory_order_acquire);
    case kBacklashRing:
      return ramps_.backlash_ring().consumer.load(std::memory_order_acquire);
    default:
      return services_.host.engine.Get(engine::kTrajConsumerIndex);
  }
}

void MotionEngine::SetConsumer(SegmentSourceId s, int32_t index) {
  index &= kSegmentRingMask;
  switch (s) {
    case kJogRing:
      ramps_.jog_ring().consumer.store(index, std::memory_order_release);
      break;
    case kBacklashRing:
      ramps_.backlash_ring().consumer.store(index, std::memory_order_release);
      break;
    default:
      services_.host.engine.Set(engine::kTrajConsumerIndex, index);
      break;
  }
}

StepCounts MotionEngine::ReadEntry(SegmentSourceId s, int32_t slot) {
  const auto index = static_cast<size_t>(slot & kSegmentRingMask);
  StepCounts steps{};
  if (s == kHostTrajectory) {
    const size_t record = planner::kTrajRingBase + planner::kSegmentRecordSize * index;
    for (size_t a = 0; a < 6; ++a) {
      steps[a] = services_.host.planner.Load<double>(record + 8 * (kStepElement + a));
    }
    return steps;
  }
  const SegmentRing& ring = s == kJogRing ? ramps_.jog_ring() : ramps_.backlash_ring();
  for (size_t a = 0; a < 6; ++a) steps[a] = ring.records[index][kStepElement + a];
  return steps;
}

uint32_t MotionEngine::ExecutedBeforeLoss(int32_t lost) const {
  // A fill no board could have (a corrupt reply) reaches no further back than the stream.
  uint32_t span = static_cast<uint32_t>(lost) & 0xffffu;
  span = std::min({span, SegmentsSent(), static_cast<uint32_t>(kSegmentRingMask) + 1});
  // Nor past a stop command: what went out before it was thrown away on purpose.
  span = std::min(span, streamed_total_ - streamed_at_last_stop_);
  return SegmentsSent() - span;
}

void MotionEngine::RewindSelectedSource(int32_t lost) {
  Lock lock(mutex_);
  const uint32_t executed = ExecutedBeforeLoss(lost);
  const uint32_t span = SegmentsSent() - executed;
  DropTakeUpsNotRun(executed);
  const SegmentSourceId s = segment_source();
  uint32_t entries = 0;
  for (uint32_t k = 1; k <= span; ++k) {
    if (streamed_origin_[(streamed_total_ - k) & kSegmentRingMask] == s) ++entries;
  }
  const uint32_t index = static_cast<uint32_t>(Consumer(s)) + 4096u - entries;
  SetConsumer(s, static_cast<int32_t>(index & kSegmentRingMask));
}

// The board has run the stream up to `executed` and lost the rest. Take-ups it ran settle
// into the offsets; the first it did not run turns the axes back to their directions before
// it, and with the later ones it is dropped: each is made again when its reversing entry
// goes out again. One still being generated ends, and what it interrupted takes over.
void MotionEngine::DropTakeUpsNotRun(uint32_t executed) {
  BacklashQueue& queue = backlash_queue_;
  const uint32_t open = queue.open_index.load(std::memory_order_acquire) & BacklashQueue::kMask;
  for (uint32_t i = queue.retire_index.load(std::memory_order_acquire) & BacklashQueue::kMask;
       i != open; i = (i + 1) & BacklashQueue::kMask) {
    const BacklashRecord& record = queue.records[i];
    if (!RecordExecuted(record, executed)) {
      SettleRecordRunInPart(i, executed);
      break;
    }
    ApplyCorrections(record);
  }
  queue.Reset();
  if (state() != kBacklashTakeUp || !backlash_.take_up_in_progress()) return;
  set_resume_state(CutTakeUpInProgress());
  ResumeAfterTakeUp();
}

int32_t MotionEngine::CutTakeUpInProgress() {
  const SegmentSourceId interrupted = backlash_.interrupted_source();
  const int32_t resume = resume_state();
  // Stopped by hand: a stop of the ramps would also set FlushPartial, the host's own word on
  // the stream the take-up interrupted.
  for (AxisRamp& r : ramps_.backlash_ramps()) {
    r.Velocity = 0;
    r.TargetVelocity = 0;
    r.Mode = kRampIdle;
  }
  SegmentRing& ring = ramps_.backlash_ring();
  ring.consumer.store(ring.producer.load(std::memory_order_acquire), std::memory_order_release);
  backlash_.OnAbort();
  for (auto& suspended : suspended_) suspended.store(false, std::memory_order_release);
  SelectSource(interrupted);
  services_.host.engine.Set(engine::kPluginMotionActive, interrupted == kJogRing);
  return resume;
}

}  // namespace vaskel
