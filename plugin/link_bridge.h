#pragma once
// The link's view of the parts above it: the stream to rewind, the segment count, the
// backlash window, the input scan, and the outputs a status request carries.
#include <mutex>

#include "device/link_client.h"
#include "motion/motion_engine.h"
#include "motion/spindle.h"

namespace vaskel {

class LinkBridge final : public LinkClient {
 public:
  LinkBridge(MotionEngine& motion, const Spindle& spindle) : motion_(motion), spindle_(spindle) {}

  void RewindStream(int32_t fill) override { motion_.RewindSelectedSource(fill); }
  uint32_t SegmentsSent() const override { return motion_.SegmentsSent(); }
  void ResetSegmentsSent() override { motion_.ResetSegmentsSent(); }
  uint64_t SegmentsSentMark() const override { return motion_.SegmentsSentMark(); }
  bool PositionsFollowBoard(int32_t fill, uint64_t sent_at_request) override {
    return motion_.PositionsFollowBoard(fill, sent_at_request);
  }
  // The abort ends what runs now; the host's queue goes too, whatever the state (a jog, a
  // dwell), so the program cannot go on once motion resumes.
  void StopProgram() override {
    std::lock_guard lock(motion_.motion_mutex());
    motion_.DiscardHostTrajectory();
    motion_.AbortAndHalt();
  }
  bool SettleTakeUps(int32_t lost_least, int32_t lost_most) override {
    return motion_.SettleTakeUps(lost_least, lost_most);
  }
  void OnInputWord() override { motion_.ScanInputs(); }
  uint32_t OutputWord() const override { return motion_.BuildOutputWord(); }
  int32_t SpindleValue() const override { return spindle_.value(); }

 private:
  MotionEngine& motion_;
  const Spindle& spindle_;
};

}  // namespace vaskel
