#pragma once
// The board's opcodes: byte 0 of every packet. Shared by the link and the board simulator.
#include <cstdint>

namespace vaskel {

enum DeviceOpcode : uint8_t {
  kOpConfigCommit = 0,
  kOpConfigReset = 1,
  kOpConfigOptionB = 12,
  kOpMotionSegments = 17,
  kOpStatusRequest = 18,
  kOpStopMotion = 19,
  kOpSetStepClock = 21,
  kOpSetPeriodTicks = 22,
  kOpConfigOptionA = 25,
  kOpSyncQueryA = 26,
  kOpSyncQueryB = 29,
};

}  // namespace vaskel
