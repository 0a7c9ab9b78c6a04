// The host's block layout, checked while compiling: every offset, width and stride against the
// host's tables, and no two fields of a block sharing a byte. A wrong number stops the build,
// the 32-bit DLL's included, so no library with a misplaced field can be made.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "host/host_layout.h"

namespace vaskel {
namespace {

// The host's pointer fields are 4 bytes in its 32-bit process and pointer-sized on 64-bit.
constexpr size_t kHandle = sizeof(void*);
static_assert(sizeof(void*) == 4 || sizeof(void*) == 8);

template <class T>
constexpr size_t kWidth = sizeof(T);
template <>
constexpr size_t kWidth<Flag> = 1;

template <class T>
constexpr bool Is(Field<T> f, size_t offset, size_t width) {
  return f.offset == offset && kWidth<T> == width;
}
template <class T>
constexpr bool Is(FieldArray<T> f, size_t base, size_t stride, size_t width) {
  return f.base == base && f.stride == stride && kWidth<T> == width;
}

// HostEngineBlock.
static_assert(Is(engine::kSegmentTag, 28, 40, 4));
static_assert(Is(engine::kTrajConsumerIndex, 163840, 4));
static_assert(Is(engine::kTrajProducerIndex, 163844, 4));
static_assert(Is(engine::kPluginMotionActive, 163908, 1));
static_assert(Is(engine::kPositionsChanged, 163910, 1));
static_assert(Is(engine::kAxisPosition, 163920, 96, 4));
static_assert(Is(engine::kAxisFlagA, 163932, 96, 1));
static_assert(Is(engine::kAxisFlagB, 163933, 96, 1));
static_assert(Is(engine::kAxisEnabled, 163955, 96, 1));
static_assert(Is(engine::kProbeActive, 164008, 1));
static_assert(Is(engine::kAxisSlaved, 164009, 96, 1));
static_assert(Is(engine::kAxisSlaveMaster, 164012, 96, 4));
static_assert(engine::kInputSignalsBase == 164592 && engine::kInputSignalStride == 16 &&
              engine::kInputSignalCount == 53 && engine::kProbeInput == 22);
static_assert(engine::kOutputSignalsBase == 165440 && engine::kOutputSignalStride == 5 &&
              engine::kOutputSignalCount == 30);
static_assert(Is(engine::kEStopActive, 166367, 1));
static_assert(Is(engine::kDwellActive, 166476, 4));
static_assert(Is(engine::kAxisReversed, 166484, 1, 1));
static_assert(Is(engine::kProbeRunning, 166492, 4));
static_assert(Is(engine::kCurrentSegmentTag, 166500, 4));
static_assert(Is(engine::kAxisReferenced, 166553, 1, 1));
static_assert(Is(engine::kBacklashAmount, 166572, 4, 4));
static_assert(Is(engine::kBacklashSpeed, 166596, 4, 4));
static_assert(Is(engine::kBacklashEnabled, 166632, 1));
static_assert(Is(engine::kLimitOverride, 166709, 1));
static_assert(Is(engine::kHomingActive, 166784, 1));
static_assert(Is(engine::kEngineOffline, 167278, 1));
static_assert(Is(engine::kBacklashActive, 167380, 1));

// InputSignals and OutputSignals records.
static_assert(input_signal::kEnabled == 0 && input_signal::kPin == 1 && input_signal::kPort == 2 &&
              input_signal::kActiveLow == 3 && input_signal::kActive == 8 &&
              input_signal::kEmulated == 9);
static_assert(input_signal::Offset(52, input_signal::kEmulated) == 164592 + 16 * 52 + 9);
static_assert(output_signal::kEnabled == 0 && output_signal::kPin == 1 &&
              output_signal::kPort == 2 && output_signal::kActive == 3 &&
              output_signal::kActiveLow == 4);
static_assert(output_signal::Offset(29, output_signal::kActiveLow) == 165440 + 5 * 29 + 4);

// HostSetupBlock.
static_assert(Is(setup::kJogPercent, 122584, 8));

// HostPlannerBlock.
static_assert(Is(planner::kProbeFeedRate, 586856, 8));
static_assert(Is(planner::kStepsPerUnit, 586904, 8, 8));
static_assert(Is(planner::kAxisVelocity, 586952, 8, 8));
static_assert(Is(planner::kAxisAcceleration, 587000, 8, 8));
static_assert(Is(planner::kHomeSpeedPercent, 801584, 4, 4));
static_assert(Is(planner::kHomeDirection, 801656, 1, 1));
static_assert(Is(planner::kStatusText, 1161996, kHandle));
static_assert(Is(planner::kAxisPositionOffset, 1170496, 8, 8));
static_assert(Is(planner::kAxisCurrentPosition, 1170544, 8, 8));
static_assert(Is(planner::kProbePending, 1170848, 4));
static_assert(Is(planner::kDwellInMilliseconds, 1170852, 1));
static_assert(Is(planner::kSpindleStartAllowed, 1175696, 1));
static_assert(Is(planner::kSpindleSpeedControlled, 1175733, 1));
static_assert(Is(planner::kSpindleSpeedRatio, 1176624, 8));
static_assert(planner::kTrajRingBase == 1177752 && planner::kSegmentRecordSize == 36 * 8 &&
              planner::kTrajRingSlots == 4096);
static_assert(Is(planner::kMotorStepRate, 2384280, 8, 8));
static_assert(Is(planner::kDeviceNeedsData, 2384336, 1));
static_assert(Is(planner::kHomingSignalWord, 2384616, 8));
static_assert(Is(planner::kPostInitFlag, 2384726, 2));
static_assert(Is(planner::kFlushPartial, 2745176, 1));
static_assert(Is(planner::kSegmentPeriod, 2745184, 8));
static_assert(Is(planner::kTrajectoryChunk, 2745192, 4));
static_assert(Is(planner::kProbeTarget, 2746240, 8, 8));

// HostWindowBlock.
static_assert(Is(window::kMainWindowHandle, 28, kHandle));
static_assert(Is(window::kWindowInitFlag, 133936, 1));
static_assert(Is(window::kJogFullSpeed, 133940, kHandle));

// Every element the plug-in touches, as a byte span; within one block none may overlap and
// all must lie inside the block's size.
struct Span {
  size_t begin;
  size_t end;
};

struct Spans {
  std::array<Span, 256> items{};
  size_t count = 0;
  template <class T>
  constexpr void Add(Field<T> f) {
    Add(f.offset, kWidth<T>);
  }
  template <class T>
  constexpr void Add(FieldArray<T> f, size_t first, size_t last) {
    for (size_t i = first; i <= last; ++i) Add(f[i]);
  }
  constexpr void Add(size_t offset, size_t width) { items[count++] = {offset, offset + width}; }
  constexpr void AddRecords(size_t base, size_t stride, size_t n) {
    for (size_t i = 0; i < n; ++i) Add(base + stride * i, stride);
  }
};

constexpr bool Disjoint(Spans spans, size_t block_size) {
  std::sort(spans.items.begin(), spans.items.begin() + spans.count,
            [](const Span& a, const Span& b) { return a.begin < b.begin; });
  for (size_t i = 0; i < spans.count; ++i) {
    if (spans.items[i].end > block_size) return false;
    if (i > 0 && spans.items[i].begin < spans.items[i - 1].end) return false;
  }
  return true;
}

constexpr Spans EngineSpans() {
  Spans s;
  s.Add(0, 40 * 4096);  // the tag records, one per trajectory slot, as one span
  s.Add(engine::kTrajConsumerIndex);
  s.Add(engine::kTrajProducerIndex);
  s.Add(engine::kPluginMotionActive);
  s.Add(engine::kPositionsChanged);
  s.Add(engine::kAxisPosition, 0, 5);
  s.Add(engine::kAxisFlagA, 0, 4);
  s.Add(engine::kAxisFlagB, 0, 4);
  s.Add(engine::kAxisEnabled, 0, 5);
  s.Add(engine::kProbeActive);
  s.Add(engine::kAxisSlaved, 3, 5);
  s.Add(engine::kAxisSlaveMaster, 3, 5);
  s.AddRecords(engine::kInputSignalsBase, engine::kInputSignalStride, engine::kInputSignalCount);
  s.AddRecords(engine::kOutputSignalsBase, engine::kOutputSignalStride, engine::kOutputSignalCount);
  s.Add(engine::kEStopActive);
  s.Add(engine::kDwellActive);
  s.Add(engine::kAxisReversed, 0, 5);
  s.Add(engine::kProbeRunning);
  s.Add(engine::kCurrentSegmentTag);
  s.Add(engine::kAxisReferenced, 0, 5);
  s.Add(engine::kBacklashAmount, 0, 5);
  s.Add(engine::kBacklashSpeed, 0, 5);
  s.Add(engine::kBacklashEnabled);
  s.Add(engine::kLimitOverride);
  s.Add(engine::kHomingActive);
  s.Add(engine::kEngineOffline);
  s.Add(engine::kBacklashActive);
  return s;
}

constexpr Spans PlannerSpans() {
  Spans s;
  s.Add(planner::kProbeFeedRate);
  s.Add(planner::kStepsPerUnit, 0, 5);
  s.Add(planner::kAxisVelocity, 0, 5);
  s.Add(planner::kAxisAcceleration, 0, 5);
  s.Add(planner::kHomeSpeedPercent, 0, 5);
  s.Add(planner::kHomeDirection, 0, 5);
  s.Add(planner::kStatusText);
  s.Add(planner::kAxisPositionOffset, 0, 5);
  s.Add(planner::kAxisCurrentPosition, 0, 5);
  s.Add(planner::kProbePending);
  s.Add(planner::kDwellInMilliseconds);
  s.Add(planner::kSpindleStartAllowed);
  s.Add(planner::kSpindleSpeedControlled);
  s.Add(planner::kSpindleSpeedRatio);
  s.Add(planner::kTrajRingBase, planner::kSegmentRecordSize * planner::kTrajRingSlots);
  s.Add(planner::kMotorStepRate, 0, 6);
  s.Add(planner::kDeviceNeedsData);
  s.Add(planner::kHomingSignalWord);
  s.Add(planner::kPostInitFlag);
  s.Add(planner::kFlushPartial);
  s.Add(planner::kSegmentPeriod);
  s.Add(planner::kTrajectoryChunk);
  s.Add(planner::kProbeTarget, 0, 5);
  return s;
}

constexpr Spans WindowSpans() {
  Spans s;
  s.Add(window::kMainWindowHandle);
  s.Add(window::kWindowInitFlag);
  s.Add(window::kJogFullSpeed);
  return s;
}

static_assert(Disjoint(EngineSpans(), engine::kBlockSize));
static_assert(Disjoint(PlannerSpans(), planner::kBlockSize));
static_assert(Disjoint(WindowSpans(), window::kBlockSize));
static_assert(setup::kJogPercent.offset + 8 <= setup::kBlockSize);

}  // namespace
}  // namespace vaskel
