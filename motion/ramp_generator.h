#pragma once
// The per-axis velocity ramps that generate the plug-in's own moves (jog, home, probe and
// backlash take-up) into the jog ring and the backlash ring.
#include <cstdint>

#include "motion/axis_ramp.h"
#include "motion/motion_services.h"
#include "motion/motion_state.h"
#include "motion/segment_ring.h"

namespace vaskel {

class MotionEngine;

class RampGenerator {
 public:
  RampGenerator(const MotionServices& services, MotionEngine& engine)
      : services_(services), engine_(engine) {}

  // Selecting the jog ring or the backlash ring makes its ramp set current; the host
  // trajectory leaves the current set as it was, but it is the queue that the idle-and-drained
  // test and StopAllRamps look at.
  void Select(SegmentSourceId source);
  SegmentSourceId active() const { return active_; }
  RampSet& active_set() { return active_ == kBacklashRing ? backlash_ramps_ : jog_ramps_; }
  SegmentRing& active_ring() { return active_ == kBacklashRing ? backlash_ring_ : jog_ring_; }
  RampSet& jog_ramps() { return jog_ramps_; }
  RampSet& backlash_ramps() { return backlash_ramps_; }
  SegmentRing& jog_ring() { return jog_ring_; }
  SegmentRing& backlash_ring() { return backlash_ring_; }
  // Both sets zero-filled (every ramp idle).
  void ClearSets();

  double SpeedToStepsPerSegment(int axis, double speed) const;
  void RecomputeAccelSteps();
  // A changed acceleration reaches jogs, homes and probes whatever set a take-up left current.
  void RecomputeJogAccelSteps();
  // True when the ramp was started (the start-of-move check and the mode rule allowed it).
  bool StartVelocityRamp(int axis, int negative, double magnitude);
  bool StartDistanceRamp(int axis, int32_t steps, double speed);
  void StopAxisRamp(int axis);
  void StopAllRamps();
  // Both sets idle and both rings emptied: after an abort no ramp of either may run on, nor a
  // segment generated for one wait to go out with the next move.
  void DiscardAll();
  bool RampsIdleAndDrained();
  static bool AllIdle(const RampSet& set);
  void GenerateRampSegments();
  int32_t BufferedMilliseconds(int32_t count) const;

  // Most records a generator pass may leave in a ring: a look-ahead setting too large for the
  // ring is bounded here, well short of its 4095 usable records.
  static constexpr int32_t kMaxQueuedRecords = 4000;
  // Look-ahead used for a setting below the dialog's range (a profile can hold anything, a
  // non-number reads as 0): too short a look-ahead never fills a motion packet.
  static constexpr int32_t kMinJogBufferMs = 100;
  // The link's segment period, for a host period that cannot be used.
  static constexpr double kDefaultSegmentPeriod = 0.003;

 private:
  void RecomputeAccelSteps(RampSet& set);
  // The host's period, or the plug-in's own where the host's is unusable.
  double SegmentPeriod() const;
  bool PassAllowed(int32_t fill) const;
  void EmitRampSegment(RampSet& set, SegmentRing& ring);

  const MotionServices& services_;
  MotionEngine& engine_;
  SegmentSourceId active_ = kJogRing;
  SegmentSourceId source_ = kHostTrajectory;
  RampSet jog_ramps_{};
  RampSet backlash_ramps_{};
  SegmentRing jog_ring_;
  SegmentRing backlash_ring_;
};

}  // namespace vaskel
