#pragma once
// Byte offsets of every host field the plug-in uses, in the four blocks the host lends it.
//
// Widths: every field keeps its listed width on every build, except the three pointer fields
// (MainWindowHandle, StatusText, JogFullSpeed), which are pointer-sized at the same offsets on
// a 64-bit build (4 bytes in the 32-bit host, 8 bytes on 64-bit Linux).
#include <cstddef>
#include <cstdint>

namespace vaskel {

// A flag is one byte: 0 is false, anything else true; the plug-in writes 0 and 1.
struct Flag {};

template <class T>
struct Field {
  size_t offset;
};

template <class T>
struct FieldArray {
  size_t base;
  size_t stride;
  constexpr Field<T> operator[](size_t i) const { return {base + stride * i}; }
};

namespace engine {
constexpr size_t kSlotMask = 0xfff;
constexpr FieldArray<int32_t> kSegmentTag{28, 40};  // index: TrajRing slot
constexpr Field<int32_t> kTrajConsumerIndex{163840};
constexpr Field<int32_t> kTrajProducerIndex{163844};
constexpr Field<Flag> kPluginMotionActive{163908};
constexpr Field<Flag> kPositionsChanged{163910};
constexpr FieldArray<int32_t> kAxisPosition{163920, 96};
constexpr FieldArray<Flag> kAxisFlagA{163932, 96};  // axes 0..4
constexpr FieldArray<Flag> kAxisFlagB{163933, 96};  // axes 0..4
constexpr FieldArray<Flag> kAxisEnabled{163955, 96};
constexpr Field<Flag> kProbeActive{164008};
constexpr FieldArray<Flag> kAxisSlaved{164009, 96};          // axes 3..5
constexpr FieldArray<int32_t> kAxisSlaveMaster{164012, 96};  // axes 3..5
constexpr size_t kInputSignalsBase = 164592;
constexpr size_t kInputSignalStride = 16;
constexpr size_t kInputSignalCount = 53;
constexpr size_t kProbeInput = 22;
constexpr size_t kOutputSignalsBase = 165440;
constexpr size_t kOutputSignalStride = 5;
constexpr size_t kOutputSignalCount = 30;
constexpr Field<Flag> kEStopActive{166367};
constexpr Field<int32_t> kDwellActive{166476};
constexpr FieldArray<Flag> kAxisReversed{166484, 1};
constexpr Field<int32_t> kProbeRunning{166492};
constexpr Field<int32_t> kCurrentSegmentTag{166500};
constexpr FieldArray<Flag> kAxisReferenced{166553, 1};
constexpr FieldArray<int32_t> kBacklashAmount{166572, 4};
constexpr FieldArray<int32_t> kBacklashSpeed{166596, 4};
constexpr Field<Flag> kBacklashEnabled{166632};
constexpr Field<Flag> kLimitOverride{166709};
constexpr Field<Flag> kHomingActive{166784};
constexpr Field<Flag> kEngineOffline{167278};
constexpr Field<Flag> kBacklashActive{167380};
constexpr size_t kBlockSize = 167384;
}  // namespace engine

// InputSignals record j: base + 16 j.
namespace input_signal {
constexpr size_t kEnabled = 0;
constexpr size_t kPin = 1;
constexpr size_t kPort = 2;
constexpr size_t kActiveLow = 3;
constexpr size_t kActive = 8;
constexpr size_t kEmulated = 9;
inline constexpr size_t Offset(size_t j, size_t byte) {
  return engine::kInputSignalsBase + engine::kInputSignalStride * j + byte;
}
}  // namespace input_signal

// OutputSignals record k: base + 5 k.
namespace output_signal {
constexpr size_t kEnabled = 0;
constexpr size_t kPin = 1;
constexpr size_t kPort = 2;
constexpr size_t kActive = 3;
constexpr size_t kActiveLow = 4;
inline constexpr size_t Offset(size_t k, size_t byte) {
  return engine::kOutputSignalsBase + engine::kOutputSignalStride * k + byte;
}
}  // namespace output_signal

namespace setup {
constexpr Field<double> kJogPercent{122584};
constexpr size_t kBlockSize = 122592;
}  // namespace setup

namespace planner {
constexpr Field<double> kProbeFeedRate{586856};
constexpr FieldArray<double> kStepsPerUnit{586904, 8};
constexpr FieldArray<double> kAxisVelocity{586952, 8};
constexpr FieldArray<double> kAxisAcceleration{587000, 8};
constexpr FieldArray<int32_t> kHomeSpeedPercent{801584, 4};
constexpr FieldArray<Flag> kHomeDirection{801656, 1};
constexpr Field<char*> kStatusText{1161996};  // host string handle
constexpr FieldArray<double> kAxisPositionOffset{1170496, 8};
constexpr FieldArray<double> kAxisCurrentPosition{1170544, 8};
constexpr Field<int32_t> kProbePending{1170848};
constexpr Field<Flag> kDwellInMilliseconds{1170852};
constexpr Field<Flag> kSpindleStartAllowed{1175696};
constexpr Field<Flag> kSpindleSpeedControlled{1175733};
constexpr Field<double> kSpindleSpeedRatio{1176624};
constexpr size_t kTrajRingBase = 1177752;
constexpr size_t kSegmentRecordSize = 288;  // 36 doubles
constexpr size_t kTrajRingSlots = 4096;
constexpr FieldArray<double> kMotorStepRate{2384280, 8};  // m = 0..6
constexpr Field<Flag> kDeviceNeedsData{2384336};
constexpr Field<uint64_t> kHomingSignalWord{2384616};
constexpr Field<int16_t> kPostInitFlag{2384726};
constexpr Field<Flag> kFlushPartial{2745176};
constexpr Field<double> kSegmentPeriod{2745184};
constexpr Field<int32_t> kTrajectoryChunk{2745192};
constexpr FieldArray<double> kProbeTarget{2746240, 8};
constexpr size_t kBlockSize = 2746288;
}  // namespace planner

namespace window {
constexpr Field<void*> kMainWindowHandle{28};
constexpr Field<Flag> kWindowInitFlag{133936};
constexpr Field<uint8_t*> kJogFullSpeed{133940};  // pointer to a host flag
constexpr size_t kBlockSize = 133940 + sizeof(void*);
}  // namespace window

}  // namespace vaskel
