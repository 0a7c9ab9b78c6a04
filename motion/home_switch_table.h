#pragma once
// Two bytes per axis for the homing sequence to poll: the home input's Active byte and its
// inverse. Written by the input scan on the receiver thread, read by the tick.
#include <array>
#include <atomic>
#include <cstdint>

namespace vaskel {

class HomeSwitchTable {
 public:
  static constexpr size_t kBytes = 12;

  uint8_t* ActiveByte(int axis) { return &bytes_[2 * static_cast<size_t>(axis)]; }
  uint8_t* ReleasedByte(int axis) { return &bytes_[2 * static_cast<size_t>(axis) + 1]; }
  uint8_t Get(size_t i) { return Read(&bytes_[i]); }
  void SetAxis(int axis, uint8_t active) {
    std::atomic_ref<uint8_t>(*ActiveByte(axis)).store(active, std::memory_order_release);
    std::atomic_ref<uint8_t>(*ReleasedByte(axis))
        .store(active == 0 ? 1 : 0, std::memory_order_release);
  }
  // The one way to read an awaited byte, here or in host memory.
  static uint8_t Read(uint8_t* p) {
    return std::atomic_ref<uint8_t>(*p).load(std::memory_order_acquire);
  }

 private:
  std::array<uint8_t, kBytes> bytes_{};
};

}  // namespace vaskel
