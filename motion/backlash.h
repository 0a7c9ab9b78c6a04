#pragma once
// Backlash compensation's seam with the streamer and the state machine. Detection and take-up
// are not in yet: nothing reverses, and a take-up in force has nothing left to do.
#include "motion/segment_encoder.h"

namespace vaskel {

class MotionEngine;

class Backlash {
 public:
  explicit Backlash(MotionEngine& engine) : engine_(engine) {}

  // Asked for every entry before it is encoded; true when a take-up has begun and the entry
  // must stay at the consumer index.
  bool DetectReversal(const StepCounts& steps) { return false; }
  // One tick of the take-up state; true once the take-up has finished.
  bool TakeUpStep() { return true; }
  // Motion reset: every axis's last direction back to positive.
  void ResetDirections() {}
  // An abort ended the take-up before it finished.
  void OnAbort() {}

 private:
  [[maybe_unused]] MotionEngine& engine_;
};

}  // namespace vaskel
