#include "device/flight_recorder.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace vaskel {

void PacketTrack::Record(uint32_t time_ms, uint16_t opcode, uint16_t sequence, const uint8_t* bytes,
                         size_t size) {
  const uint64_t number = published_.load(std::memory_order_relaxed);
  Slot& slot = slots_[number % kDepth];
  slot.stamp.store(0, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  std::array<uint8_t, 64> copy{};
  std::memcpy(copy.data(), bytes, std::min(size, copy.size()));
  for (size_t w = 0; w < slot.words.size(); ++w) {
    uint64_t word = 0;
    std::memcpy(&word, copy.data() + 8 * w, 8);
    slot.words[w].store(word, std::memory_order_relaxed);
  }
  slot.time_ms.store(time_ms, std::memory_order_relaxed);
  slot.header.store(static_cast<uint32_t>(opcode) | static_cast<uint32_t>(sequence) << 16,
                    std::memory_order_relaxed);
  slot.stamp.store(number + 1, std::memory_order_release);
  published_.store(number + 1, std::memory_order_release);
}

std::vector<RecordedPacket> PacketTrack::Snapshot(PacketDirection direction) const {
  const uint64_t end = published_.load(std::memory_order_acquire);
  const uint64_t begin = end > kDepth ? end - kDepth : 0;
  std::vector<RecordedPacket> packets;
  packets.reserve(static_cast<size_t>(end - begin));
  for (uint64_t number = begin; number < end; ++number) {
    const Slot& slot = slots_[number % kDepth];
    if (slot.stamp.load(std::memory_order_acquire) != number + 1) continue;
    RecordedPacket p;
    p.direction = direction;
    p.time_ms = slot.time_ms.load(std::memory_order_relaxed);
    const uint32_t header = slot.header.load(std::memory_order_relaxed);
    p.opcode = static_cast<uint16_t>(header & 0xffff);
    p.sequence = static_cast<uint16_t>(header >> 16);
    for (size_t w = 0; w < slot.words.size(); ++w) {
      const uint64_t word = slot.words[w].load(std::memory_order_relaxed);
      std::memcpy(p.bytes.data() + 8 * w, &word, 8);
    }
    std::atomic_thread_fence(std::memory_order_acquire);
    // Overwritten while it was read: leave it out.
    if (slot.stamp.load(std::memory_order_relaxed) != number + 1) continue;
    packets.push_back(p);
  }
  return packets;
}

std::vector<RecordedPacket> FlightRecorder::Snapshot() const {
  const std::vector<RecordedPacket> out = out_.Snapshot(PacketDirection::kOut);
  const std::vector<RecordedPacket> in = in_.Snapshot(PacketDirection::kIn);
  std::vector<RecordedPacket> merged;
  merged.reserve(out.size() + in.size());
  // Times are a wrapping millisecond count: compare by difference.
  std::merge(out.begin(), out.end(), in.begin(), in.end(), std::back_inserter(merged),
             [](const RecordedPacket& a, const RecordedPacket& b) {
               return static_cast<int32_t>(a.time_ms - b.time_ms) < 0;
             });
  return merged;
}

}  // namespace vaskel
