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

inline constexpr bool IsAxis(int axis) {
  return axis >= 0 && axis < 6;
}

// A home runs through these states; AwaitingSignal also serves a probe, told apart by the
// state its signal leads to.
inline constexpr bool IsHomeInProgress(int32_t state, int32_t pending_signal_state) {
  return state == kHomeSwitchFound || state == kHomeSwitchReleased ||
         (state == kAwaitingSignal && (pending_signal_state == kHomeSwitchFound ||
                                       pending_signal_state == kHomeSwitchReleased));
}

inline constexpr bool IsProbeInProgress(int32_t state, int32_t pending_signal_state) {
  return state == kProbeTripped ||
         (state == kAwaitingSignal && pending_signal_state == kProbeTripped);
}

// States that run the jog ring's ramps: a jog, a home or a probe.
inline constexpr bool RunsJogRamps(int32_t state) {
  return state == kJogging || state == kAwaitingSignal || state == kHomeSwitchFound ||
         state == kHomeSwitchReleased || state == kProbeTripped;
}

enum SegmentSourceId : int8_t {
  kHostTrajectory = 0,
  kJogRing = 1,
  kBacklashRing = 2,
};

}  // namespace vaskel
