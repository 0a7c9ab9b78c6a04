// Status processing's side of backlash compensation: while the board executes a take-up the
// host's positions hold still, and once the board has passed it the take-up's corrections
// move into the axis offsets.
#include "motion/motion_engine.h"

namespace vaskel {

bool MotionEngine::PositionsFollowBoard(int32_t fill) {
  BacklashQueue& queue = backlash_queue_;
  const uint32_t retire = queue.retire_index.load(std::memory_order_acquire) & BacklashQueue::kMask;
  const uint32_t open = queue.open_index.load(std::memory_order_acquire) & BacklashQueue::kMask;
  if (retire == open) return true;
  const uint32_t executed = SegmentsSent() - static_cast<uint32_t>(fill);
  const BacklashRecord& record = queue.records[retire];
  if (executed <= record.start_marker.load(std::memory_order_acquire)) return true;
  const uint32_t end = record.end_marker.load(std::memory_order_acquire);
  if (end == 0 || executed <= end) return false;  // the board is inside the take-up
  std::array<int32_t, 6> correction{};
  for (size_t i = 0; i < 6; ++i)
    correction[i] = record.correction[i].load(std::memory_order_acquire);
  services_.link.AddToAxisOffsets(correction);
  queue.retire_index.store((retire + 1) & BacklashQueue::kMask, std::memory_order_release);
  return false;
}

}  // namespace vaskel
