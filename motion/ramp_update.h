#pragma once
// One segment of one axis ramp: the velocity update with distance braking, and the whole
// steps the segment carries.
#include <cstdint>

#include "motion/axis_ramp.h"

namespace vaskel {

// An acceleration step the ramp can work with: positive and finite.
bool UsableAccelStep(double accel_step);

// Moves the ramp's velocity one segment on. A ramp without a usable acceleration step stops
// at once rather than never reaching its target.
void UpdateAxisRamp(AxisRamp& ramp);

// The signed whole steps of the ramp's current segment, with its step bookkeeping.
int32_t TakeSegmentSteps(AxisRamp& ramp);

}  // namespace vaskel
