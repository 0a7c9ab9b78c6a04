#pragma once
// The queue of backlash take-up records shared by the motion tick (opens, fills and closes
// records) and status processing on the receiver thread (retires them). The write order keeps
// the reader consistent: a record is complete before the open index moves past it, and its
// corrections are written before its end marker becomes non-zero.
#include <array>
#include <atomic>
#include <cstdint>

namespace vaskel {

struct BacklashRecord {
  std::atomic<uint32_t> start_marker{0};
  std::atomic<uint32_t> end_marker{0};
  // By axis, the segments sent through the take-up's last segment that moves it (the start
  // marker while none has): a board that ran that far has made the axis's take-up, whatever
  // of the empty tail behind it it still held.
  std::array<std::atomic<uint32_t>, 6> steps_end_marker{};
  std::array<std::atomic<int32_t>, 6> correction{};
  // Each axis's last direction before this take-up; written and read under the motion lock.
  std::array<double, 6> direction_before{};
};

struct BacklashQueue {
  static constexpr uint32_t kSize = 1024;
  static constexpr uint32_t kMask = 0x3ff;
  std::array<BacklashRecord, kSize> records;
  std::atomic<uint32_t> open_index{0};
  std::atomic<uint32_t> closing_index{0};
  std::atomic<uint32_t> retire_index{0};

  bool empty() const {
    return retire_index.load(std::memory_order_acquire) ==
           open_index.load(std::memory_order_acquire);
  }
  void Reset() {
    open_index.store(0, std::memory_order_release);
    closing_index.store(0, std::memory_order_release);
    retire_index.store(0, std::memory_order_release);
  }
};

}  // namespace vaskel
