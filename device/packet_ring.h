#pragma once
// A ring of 2048 packet slots of 65 bytes. There is no fullness test: producers keep fewer than
// 2048 untaken packets. The count is atomic and a slot's bytes are complete before the Commit
// that publishes it, so one consumer thread can take what a producer thread committed.
#include <array>
#include <atomic>
#include <cstdint>

namespace vaskel {

class PacketRing {
 public:
  static constexpr int32_t kSlots = 2048;
  static constexpr size_t kSlotSize = 65;
  using Slot = std::array<uint8_t, kSlotSize>;

  void ResetRing() {
    write_index_.store(0, std::memory_order_relaxed);
    read_index_.store(0, std::memory_order_relaxed);
    count_.store(0, std::memory_order_release);
  }
  // The slot the producer fills next; nothing is published until Commit.
  uint8_t* CurrentWriteSlot() {
    return slots_[write_index_.load(std::memory_order_relaxed)].data();
  }
  void Commit() {
    const int32_t next = write_index_.load(std::memory_order_relaxed) + 1;
    write_index_.store(next == kSlots ? 0 : next, std::memory_order_relaxed);
    count_.fetch_add(1, std::memory_order_acq_rel);
  }
  // The oldest committed slot, or null when none is waiting. The slot stays readable until
  // the producer laps it.
  const uint8_t* Take() {
    if (count_.load(std::memory_order_acquire) <= 0) return nullptr;
    const int32_t index = read_index_.load(std::memory_order_relaxed);
    read_index_.store(index + 1 == kSlots ? 0 : index + 1, std::memory_order_relaxed);
    count_.fetch_sub(1, std::memory_order_acq_rel);
    return slots_[index].data();
  }

  int32_t write_index() const { return write_index_.load(std::memory_order_relaxed); }
  int32_t read_index() const { return read_index_.load(std::memory_order_relaxed); }
  int32_t count() const { return count_.load(std::memory_order_acquire); }
  const uint8_t* SlotAt(int32_t index) const { return slots_[index & (kSlots - 1)].data(); }

 private:
  std::array<Slot, kSlots> slots_{};
  std::atomic<int32_t> write_index_{0};
  std::atomic<int32_t> read_index_{0};
  std::atomic<int32_t> count_{0};
};

}  // namespace vaskel
