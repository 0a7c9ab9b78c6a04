#pragma once
// Backlash compensation: the reversal test the streamer applies to every entry, the take-up
// that moves each reversed axis by its backlash before the reversing entry goes out, and the
// records through which status processing keeps the take-up out of the host's positions.
//
// Everything here runs with the motion lock held (streaming, the tick, an abort).
#include <array>
#include <cstdint>

#include "motion/motion_services.h"
#include "motion/motion_state.h"
#include "motion/segment_encoder.h"

namespace vaskel {

class MotionEngine;

class Backlash {
 public:
  Backlash(const MotionServices& services, MotionEngine& engine)
      : services_(services), engine_(engine) {}

  // Asked for every entry before it is encoded; true when a take-up has begun and the entry
  // must stay at the consumer index.
  bool DetectReversal(const StepCounts& steps);
  // One tick of the take-up state; true once the take-up has finished.
  bool TakeUpStep();
  // Motion reset: every axis's last direction back to positive.
  void ResetDirections();
  // An abort dropped take-ups the board had not made: the axes turn back to these directions.
  void RestoreDirections(const std::array<double, 6>& directions) { last_direction_ = directions; }
  // An abort ended the take-up before it finished: nothing of it may hold the machine.
  void OnAbort();

  double last_direction(int axis) const { return last_direction_[static_cast<size_t>(axis)]; }
  bool take_up_pending(int axis) const { return pending_[static_cast<size_t>(axis)]; }
  bool take_up_in_progress() const { return in_progress_; }
  // Every step of the axis's take-up in progress has been generated (take-ups run one axis
  // after another); `streamed`: and none that moves the axis waits in the ring.
  bool AxisTakeUpGenerated(size_t axis, bool& streamed);
  SegmentSourceId interrupted_source() const { return interrupted_source_; }

 private:
  bool AxisCompensated(size_t axis) const;
  bool BacklashRampsBusy();
  void StartAxisTakeUp(size_t axis);
  void Finish();

  const MotionServices& services_;
  MotionEngine& engine_;
  std::array<double, 6> last_direction_{1, 1, 1, 1, 1, 1};
  std::array<bool, 6> pending_{};
  std::array<bool, 6> positive_{};
  SegmentSourceId interrupted_source_ = kHostTrajectory;
  bool in_progress_ = false;
  // The take-up's record is still in the queue (an abort discards it).
  bool record_open_ = false;
};

}  // namespace vaskel
