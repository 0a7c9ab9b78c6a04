// Status processing's side of backlash compensation: while the board executes a take-up the
// host's positions hold still, and once the board has passed it the take-up's corrections
// move into the axis offsets.
#include "motion/motion_engine.h"

namespace vaskel {

uint64_t MotionEngine::SegmentsSentMark() const {
  const uint32_t resets = segments_sent_resets_.load(std::memory_order_acquire);
  const uint32_t sent = SegmentsSent();
  // A reset between the two reads: the count has been zeroed before its resets moved on, so
  // read again it belongs to the new one.
  const uint32_t after = segments_sent_resets_.load(std::memory_order_acquire);
  return uint64_t{after} << 32 | (resets == after ? sent : SegmentsSent());
}

bool MotionEngine::PositionsFollowBoard(int32_t fill, uint64_t sent_at_request) {
  // Under the motion lock: an abort resets the queue, and a retirement between its reads and
  // its store would leave the retire index past an empty queue.
  Lock lock(mutex_);
  // What was streamed after the request reached the board after it: counted, it would take
  // the board for further on than it was. A request from before the count's last reset (held
  // up in the send ring through a resynchronisation) went out ahead of everything counted
  // since: the board had run none of it, whatever it still held of the older stream.
  const bool marked = static_cast<uint32_t>(sent_at_request >> 32) ==
                      segments_sent_resets_.load(std::memory_order_acquire);
  const uint32_t executed =
      marked ? static_cast<uint32_t>(sent_at_request) - static_cast<uint32_t>(fill) : 0;
  // A board may leave the segment in hand out of its fill, and compose its reply after
  // taking what was streamed behind the request: it has run at least one segment fewer, and
  // at most what was streamed by now, less its fill. A fill of 0 seen twice with nothing
  // streamed between is a board at rest: the segment in hand, if any, has long ended.
  const uint64_t now_mark = SegmentsSentMark();
  const bool at_rest =
      marked && fill == 0 && sent_at_request == previous_request_mark_ && previous_fill_zero_;
  previous_request_mark_ = sent_at_request;
  previous_fill_zero_ = marked && fill == 0;
  const uint32_t least = marked && executed != 0 && !at_rest ? executed - 1 : executed;
  const uint32_t most = marked && static_cast<uint32_t>(now_mark >> 32) ==
                                      static_cast<uint32_t>(sent_at_request >> 32)
                            ? static_cast<uint32_t>(now_mark) - static_cast<uint32_t>(fill)
                            : executed;
  last_reply_executed_ = executed;
  reply_executed_known_ = true;
  // Every take-up the board has passed retires on this reply, and the positions follow it at
  // once: a DRO held back a reply per take-up would be taken as the machine's position by an
  // alignment should the link drop before the next reply.
  BacklashQueue& queue = backlash_queue_;
  const uint32_t open = queue.open_index.load(std::memory_order_acquire) & BacklashQueue::kMask;
  uint32_t retire = queue.retire_index.load(std::memory_order_acquire) & BacklashQueue::kMask;
  for (; retire != open; retire = (retire + 1) & BacklashQueue::kMask) {
    const BacklashRecord& record = queue.records[retire];
    // A board that counts the segment in hand as it runs shows part of it: the take-up has not
    // begun only while the segment in hand is before it.
    const uint32_t start = record.start_marker.load(std::memory_order_acquire);
    // Compared as differences: a fill that counts packets streamed after the request runs
    // past it, and must not wrap round to a board far ahead.
    const auto ahead = static_cast<int32_t>(most - start);
    if (at_rest ? ahead <= 0 : ahead < 0) return true;
    if (!RecordExecuted(record, least)) return false;  // the board may be inside the take-up
    ApplyCorrections(record);
    queue.retire_index.store((retire + 1) & BacklashQueue::kMask, std::memory_order_release);
  }
  return true;
}

bool MotionEngine::RecordExecuted(const BacklashRecord& record, uint32_t executed) {
  const uint32_t end = record.end_marker.load(std::memory_order_acquire);
  return end != 0 && static_cast<int32_t>(executed - end) > 0;
}

bool MotionEngine::AxisTakeUpMade(uint32_t index, size_t axis, uint32_t executed) {
  const BacklashRecord& record = backlash_queue_.records[index];
  const uint32_t start = record.start_marker.load(std::memory_order_acquire);
  const uint32_t steps_end = record.steps_end_marker[axis].load(std::memory_order_acquire);
  // A take-up that moved nothing (refused, or not begun) leaves the play to the reversing
  // entry: only the record's end tells.
  if (record.correction[axis].load(std::memory_order_acquire) == 0 || steps_end == start) {
    return false;
  }
  const bool closing = index == (backlash_queue_.closing_index.load(std::memory_order_acquire) &
                                 BacklashQueue::kMask);
  bool all_sent = record.end_marker.load(std::memory_order_acquire) != 0;
  bool streamed = false;
  if (!all_sent && closing && backlash_.AxisTakeUpGenerated(axis, streamed)) {
    // The ring goes out in order: a later axis's take-up streamed means this one's has.
    for (size_t b = 0; b < 6 && !streamed; ++b) {
      streamed = static_cast<int32_t>(record.steps_end_marker[b].load(std::memory_order_acquire) -
                                      steps_end) > 0;
    }
    all_sent = streamed;
  }
  return all_sent && static_cast<int32_t>(executed - steps_end) >= 0;
}

bool MotionEngine::SettleTakeUps(int32_t lost_least, int32_t lost_most) {
  Lock lock(mutex_);
  const uint32_t a = ExecutedBeforeLoss(lost_least);
  const uint32_t b = ExecutedBeforeLoss(lost_most);
  const bool alike = TakeUpsSettleAlike(a, b);
  DropTakeUpsNotRun(b);
  return alike;
}

bool MotionEngine::TakeUpsSettleAlike(uint32_t a, uint32_t b) {
  const BacklashQueue& queue = backlash_queue_;
  const uint32_t open = queue.open_index.load(std::memory_order_acquire) & BacklashQueue::kMask;
  for (uint32_t i = queue.retire_index.load(std::memory_order_acquire) & BacklashQueue::kMask;
       i != open; i = (i + 1) & BacklashQueue::kMask) {
    const BacklashRecord& record = queue.records[i];
    const bool ran = RecordExecuted(record, a);
    if (ran != RecordExecuted(record, b)) return false;
    if (ran) continue;
    // The first one not run settles in part, and drops the rest alike.
    for (size_t axis = 0; axis < 6; ++axis) {
      if (AxisTakeUpMade(i, axis, a) != AxisTakeUpMade(i, axis, b)) return false;
    }
    return true;
  }
  return true;
}

void MotionEngine::SettleRecordRunInPart(uint32_t index, uint32_t executed) {
  const BacklashRecord& record = backlash_queue_.records[index];
  std::array<double, 6> directions = record.direction_before;
  std::array<int32_t, 6> made{};
  for (size_t a = 0; a < 6; ++a) {
    if (!AxisTakeUpMade(index, a, executed)) continue;
    made[a] = record.correction[a].load(std::memory_order_acquire);
    directions[a] = made[a] < 0 ? 1.0 : -1.0;  // the way the take-up pressed
  }
  backlash_.RestoreDirections(directions);
  services_.link.AddToAxisOffsets(made);
}

void MotionEngine::ApplyCorrections(const BacklashRecord& record) {
  std::array<int32_t, 6> correction{};
  for (size_t i = 0; i < 6; ++i)
    correction[i] = record.correction[i].load(std::memory_order_acquire);
  services_.link.AddToAxisOffsets(correction);
}

// An abort empties the queue. Take-ups the last reply showed executed still moved the axes
// outside the host's positions, so their corrections are applied. A take-up the board had not
// finished is left out whole, and the axes go back to the directions they had before it: the
// next move that reverses them takes up the whole amount again, and the host's position
// meets the tool's there, however much of the cut take-up the board had made.
void MotionEngine::SettleBacklashRecords() {
  BacklashQueue& queue = backlash_queue_;
  const uint32_t open = queue.open_index.load(std::memory_order_acquire) & BacklashQueue::kMask;
  uint32_t i = queue.retire_index.load(std::memory_order_acquire) & BacklashQueue::kMask;
  for (; i != open; i = (i + 1) & BacklashQueue::kMask) {
    const BacklashRecord& record = queue.records[i];
    if (!reply_executed_known_) {
      backlash_.RestoreDirections(record.direction_before);
      return;
    }
    if (!RecordExecuted(record, last_reply_executed_)) {
      SettleRecordRunInPart(i, last_reply_executed_);
      return;
    }
    ApplyCorrections(record);
  }
}

}  // namespace vaskel
