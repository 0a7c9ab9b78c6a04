#pragma once
// The flight recorder: the last 256 packets each way, kept so that a dump at a link close shows
// what went out and came back just before it. Each direction has one writer (the sender for
// packets out, the receiver for packets in) that fills a slot of relaxed atomic words and then
// publishes it; no lock and no allocation on that path. A reader that races a writer may see a
// packet the writer is overwriting: Snapshot drops such a slot rather than show it torn.
#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

namespace vaskel {

enum class PacketDirection : uint8_t { kOut, kIn };

struct RecordedPacket {
  uint32_t time_ms = 0;
  PacketDirection direction = PacketDirection::kOut;
  // Out: byte 0 of the packet. In: the opcode of the request the reply answers (kUnknownOpcode
  // when no request of ours had that sequence number).
  uint16_t opcode = 0;
  uint16_t sequence = 0;            // 0: the packet carries none
  std::array<uint8_t, 64> bytes{};  // the report without its report id
};

class PacketTrack {
 public:
  static constexpr uint32_t kDepth = 256;

  // The one writer of this direction.
  void Record(uint32_t time_ms, uint16_t opcode, uint16_t sequence, const uint8_t* bytes,
              size_t size);
  // Oldest first, at most kDepth.
  std::vector<RecordedPacket> Snapshot(PacketDirection direction) const;
  uint64_t recorded() const { return published_.load(std::memory_order_acquire); }

 private:
  struct Slot {
    std::atomic<uint64_t> stamp{0};  // number of the packet held, plus one; 0 while rewritten
    std::atomic<uint32_t> time_ms{0};
    std::atomic<uint32_t> header{0};  // opcode | sequence << 16
    std::array<std::atomic<uint64_t>, 8> words{};
  };
  std::array<Slot, kDepth> slots_;
  std::atomic<uint64_t> published_{0};
};

class FlightRecorder {
 public:
  static constexpr uint16_t kUnknownOpcode = 0xffff;

  PacketTrack& out() { return out_; }
  PacketTrack& in() { return in_; }
  // Both directions merged in time order (out before in at the same millisecond).
  std::vector<RecordedPacket> Snapshot() const;

 private:
  PacketTrack out_;
  PacketTrack in_;
};

}  // namespace vaskel
