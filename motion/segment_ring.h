#pragma once
// The plug-in's own segment rings (the jog ring and the backlash ring): 4096 records of 36
// doubles with producer and consumer indices masked with 0xfff, empty when equal, no full test.
#include <array>
#include <atomic>
#include <cstdint>

namespace vaskel {

constexpr int32_t kSegmentRingSlots = 4096;
constexpr int32_t kSegmentRingMask = 0xfff;
constexpr int kSegmentRecordDoubles = 36;
constexpr int kStepElement = 4;  // element 4 + a holds the step count of axis a

using SegmentRecord = std::array<double, kSegmentRecordDoubles>;

struct SegmentRing {
  std::array<SegmentRecord, kSegmentRingSlots> records{};
  std::atomic<int32_t> producer{0};
  std::atomic<int32_t> consumer{0};

  int32_t Pending() const {
    return (producer.load(std::memory_order_acquire) - consumer.load(std::memory_order_acquire)) &
           kSegmentRingMask;
  }
};

}  // namespace vaskel
