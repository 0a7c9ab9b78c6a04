#pragma once
// The per-axis velocity ramps that generate the plug-in's own moves (jog, home, probe and
// backlash take-up) into the jog ring and the backlash ring.
#include <array>
#include <cstdint>

#include "motion/motion_state.h"
#include "motion/segment_ring.h"

namespace vaskel {

class PluginContext;

enum RampMode : int32_t { kRampIdle = 0, kRampVelocity = 1, kRampDistance = 2 };

struct AxisRamp {
  double AccelStep = 0;
  double TargetVelocity = 0;
  double OvershootVelocity = 0;
  double Velocity = 0;
  double ResumeVelocity = 0;
  double FractionalSteps = 0;
  int32_t Mode = kRampIdle;
  int32_t TotalSteps = 0;
  int32_t AccelSteps = 0;
  int32_t LeftoverSteps = 0;
  int32_t DoneSteps = 0;
};

using RampSet = std::array<AxisRamp, 6>;

class RampGenerator {
 public:
  explicit RampGenerator(PluginContext& ctx) : ctx_(ctx) {}

  // Selecting the jog ring or the backlash ring makes its ramp set current; the host
  // trajectory leaves the current set as it was.
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
  void StartVelocityRamp(int axis, int negative, double magnitude);
  void StartDistanceRamp(int axis, int32_t steps, double speed);
  void StopAxisRamp(int axis);
  void StopAllRamps();
  bool RampsIdleAndDrained();
  void GenerateRampSegments();
  int32_t BufferedMilliseconds(int32_t count) const;

 private:
  PluginContext& ctx_;
  SegmentSourceId active_ = kJogRing;
  RampSet jog_ramps_{};
  RampSet backlash_ramps_{};
  SegmentRing jog_ring_;
  SegmentRing backlash_ring_;
};

}  // namespace vaskel
