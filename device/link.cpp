#include "device/link.h"

#include <cstring>

#include "host/plugin_context.h"

namespace vaskel {

DeviceLink::~DeviceLink() = default;

void DeviceLink::PrepareIo() {}

void DeviceLink::ServiceLink() {}

void DeviceLink::SendCommand(uint8_t opcode, int32_t value) {
  std::lock_guard lock(producer_mutex_);
  uint8_t* slot = send_ring_.CurrentWriteSlot();
  slot[0] = opcode;
  const auto v = static_cast<uint32_t>(value);
  for (int k = 0; k < 4; ++k) slot[1 + k] = static_cast<uint8_t>(v >> (8 * k));
  send_ring_.Commit();
}

uint8_t* DeviceLink::BeginMotionPacket() {
  producer_mutex_.lock();  // released by CommitPacket
  uint8_t* slot = send_ring_.CurrentWriteSlot();
  slot[0] = 17;
  std::memset(slot + 1, 0, 63);
  return slot + 1;
}

void DeviceLink::CommitPacket() {
  send_ring_.Commit();
  producer_mutex_.unlock();
}

}  // namespace vaskel
