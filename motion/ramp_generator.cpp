#include "motion/ramp_generator.h"

#include "host/plugin_context.h"

namespace vaskel {

void RampGenerator::Select(SegmentSourceId source) {
  if (source != kHostTrajectory) active_ = source;
}

void RampGenerator::ClearSets() {
  jog_ramps_ = RampSet{};
  backlash_ramps_ = RampSet{};
}

double RampGenerator::SpeedToStepsPerSegment(int axis, double speed) const {
  return 0;
}
void RampGenerator::RecomputeAccelSteps() {}
void RampGenerator::StartVelocityRamp(int axis, int negative, double magnitude) {}
void RampGenerator::StartDistanceRamp(int axis, int32_t steps, double speed) {}
void RampGenerator::StopAxisRamp(int axis) {}
void RampGenerator::StopAllRamps() {}
bool RampGenerator::RampsIdleAndDrained() {
  return true;
}
void RampGenerator::GenerateRampSegments() {}
int32_t RampGenerator::BufferedMilliseconds(int32_t count) const {
  return 0;
}

}  // namespace vaskel
