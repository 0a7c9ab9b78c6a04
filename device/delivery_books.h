#pragma once
// What the link delivered to the board: the channel steps of every motion segment written (as
// running sums) and where each stop command fell in that stream. One writer (the sender) and
// any number of readers; each slot is published before the count that makes it readable.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vaskel {

class DeliveryBooks {
 public:
  // Segments kept: a reply can only be judged against segments still in the books.
  static constexpr uint32_t kHistory = 4096;
  static constexpr uint32_t kStopSlots = 1024;

  // Writer: segment number `index` (counting from 0) carried these steps per channel.
  void AddSegment(uint32_t index, const std::array<int32_t, 6>& steps) {
    for (size_t c = 0; c < 6; ++c) {
      sums_[c] += static_cast<uint32_t>(steps[c]);
      steps_before_[(index + 1) % kHistory][c].store(sums_[c], std::memory_order_release);
    }
  }
  // Writer: the segments from number `index` on are being written and may already be the
  // board's; their sums stand in the books (unpublished) until AddSegment confirms them.
  template <size_t N>
  void Stage(uint32_t index, const std::array<std::array<int32_t, 6>, N>& steps) {
    std::array<uint32_t, 6> sums = sums_;
    for (size_t k = 0; k < N; ++k) {
      for (size_t c = 0; c < 6; ++c) {
        sums[c] += static_cast<uint32_t>(steps[k][c]);
        steps_before_[(index + k + 1) % kHistory][c].store(sums[c], std::memory_order_release);
      }
    }
  }
  // Writer: stop number `stop` reached the board after `delivered` segments.
  void AddStop(uint32_t stop, uint32_t delivered) {
    delivered_at_stop_[stop & (kStopSlots - 1)].store(delivered, std::memory_order_release);
  }

  // The steps of the first k segments delivered on channel c (wrapping sums).
  uint32_t StepsBefore(uint32_t k, size_t c) const {
    return steps_before_[k % kHistory][c].load(std::memory_order_acquire);
  }
  // The segments delivered ahead of stop number `stop`.
  uint32_t DeliveredAtStop(uint32_t stop) const {
    return delivered_at_stop_[stop & (kStopSlots - 1)].load(std::memory_order_acquire);
  }

 private:
  std::array<std::array<std::atomic<uint32_t>, 6>, kHistory> steps_before_{};
  std::array<uint32_t, 6> sums_{};  // writer only
  std::array<std::atomic<uint32_t>, kStopSlots> delivered_at_stop_{};
};

}  // namespace vaskel
