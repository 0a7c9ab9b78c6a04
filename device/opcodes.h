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

// A motion packet carries seven 9-byte segments after its opcode.
constexpr int32_t kSegmentsPerMotionPacket = 7;
// Each: six 12-bit fields (bit 11 the direction, set = negative; bits 0..10 the steps), two to
// three bytes.
constexpr int32_t kMotionSegmentBytes = 9;

}  // namespace vaskel

namespace vaskel {

// The opcode's name, for logs; null for a byte that is no opcode of the board.
inline const char* OpcodeName(unsigned opcode) {
  switch (opcode) {
    case kOpConfigCommit:
      return "ConfigCommit";
    case kOpConfigReset:
      return "ConfigReset";
    case kOpConfigOptionB:
      return "ConfigOptionB";
    case kOpMotionSegments:
      return "MotionSegments";
    case kOpStatusRequest:
      return "StatusRequest";
    case kOpStopMotion:
      return "StopMotion";
    case kOpSetStepClock:
      return "SetStepClock";
    case kOpSetPeriodTicks:
      return "SetPeriodTicks";
    case kOpConfigOptionA:
      return "ConfigOptionA";
    case kOpSyncQueryA:
      return "SyncQueryA";
    case kOpSyncQueryB:
      return "SyncQueryB";
    default:
      return nullptr;
  }
}

}  // namespace vaskel
