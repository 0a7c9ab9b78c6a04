#pragma once
#include <cstdint>

namespace vaskel {

// Values of MotionState, ResumeState and PendingSignalState.
enum MotionStateId : int32_t {
  kHalted = 0,
  kRunning = 1,
  kDwelling = 2,
  kBacklashTakeUp = 3,
  kAwaitingSignal = 4,
  kStopRequested = 5,
  kStopDraining = 6,
  kHomeSwitchFound = 7,
  kHomeSwitchReleased = 8,
  kJogging = 9,
  kProbeTripped = 10,
};

enum SegmentSourceId : int8_t {
  kHostTrajectory = 0,
  kJogRing = 1,
  kBacklashRing = 2,
};

}  // namespace vaskel
