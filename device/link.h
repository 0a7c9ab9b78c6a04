#pragma once
// The device link: discovery, the packet rings and their worker threads, command packets and
// reply dispatch, and the processing of the board's status replies.
#include <atomic>
#include <cstdint>
#include <mutex>

#include "device/packet_ring.h"

namespace vaskel {

class PluginContext;

class DeviceLink {
 public:
  explicit DeviceLink(PluginContext& ctx) : ctx_(ctx) {}
  ~DeviceLink();

  // InitControl: prepares the write and read completion events.
  void PrepareIo();
  // StopPlug, after the workers have ended: closes the board so nothing outlives an unload.
  void Shutdown();
  // Once per host Update: start the link, configure the board, poll its status.
  void ServiceLink();
  // PostInitControl (through the motion reset).
  void ResetSequence() { sequence_counter_ = 1; }

  // Packet producers. Any thread may send a simple command; a motion packet is begun and
  // committed on the tick's thread, and no other producer interleaves with it.
  void SendCommand(uint8_t opcode, int32_t value);
  uint8_t* BeginMotionPacket();  // returns byte 1 of the slot, bytes 1..63 zeroed
  void CommitPacket();

  // The board's latest status.
  bool device_connected() const { return device_connected_.load(std::memory_order_acquire); }
  bool link_running() const { return link_running_.load(std::memory_order_acquire); }
  int32_t device_fill() const { return device_fill_.load(std::memory_order_acquire); }
  int32_t board_count(int axis) const { return board_count_[axis].load(std::memory_order_acquire); }
  int32_t axis_offset(int axis) const { return axis_offset_[axis].load(std::memory_order_acquire); }
  void set_axis_offset(int axis, int32_t v) {
    axis_offset_[axis].store(v, std::memory_order_release);
  }
  uint32_t input_word() const { return input_word_.load(std::memory_order_acquire); }
  int32_t sequence_counter() const { return sequence_counter_; }

  PacketRing& send_ring() { return send_ring_; }
  PacketRing& receive_ring() { return receive_ring_; }

 private:
  PluginContext& ctx_;
  std::atomic<bool> device_connected_{false};
  std::atomic<bool> link_running_{false};
  std::atomic<int32_t> device_fill_{0};
  std::atomic<int32_t> board_count_[6] = {};
  std::atomic<int32_t> axis_offset_[6] = {};
  std::atomic<uint32_t> input_word_{0};
  int32_t sequence_counter_ = 0;
  // The send ring has two producers (the host's thread, and the receiver for the stop command
  // of a limit trip); a packet is built from its slot to its commit under this lock.
  std::mutex producer_mutex_;
  PacketRing send_ring_;
  PacketRing receive_ring_;
};

}  // namespace vaskel
