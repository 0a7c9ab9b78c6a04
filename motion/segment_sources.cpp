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

void MotionEngine::RewindSelectedSource(int32_t lost) {
  Lock lock(mutex_);
  const SegmentSourceId s = segment_source();
  // A fill no board could have (a corrupt reply) reaches no further back than the stream.
  uint32_t span = static_cast<uint32_t>(lost) & 0xffffu;
  span = std::min({span, SegmentsSent(), static_cast<uint32_t>(kSegmentRingMask) + 1});
  uint32_t entries = 0;
  for (uint32_t k = 1; k <= span; ++k) {
    if (streamed_origin_[(streamed_total_ - k) & kSegmentRingMask] == s) ++entries;
  }
  const uint32_t index = static_cast<uint32_t>(Consumer(s)) + 4096u - entries;
  SetConsumer(s, static_cast<int32_t>(index & kSegmentRingMask));
}

}  // namespace vaskel
