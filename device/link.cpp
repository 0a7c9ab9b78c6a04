#include "device/link.h"

#include <cstring>

#include "host/plugin_context.h"

namespace vaskel {

DeviceLink::~DeviceLink() = default;

void DeviceLink::PrepareIo() {}

void DeviceLink::ServiceLink() {}

void DeviceLink::SendCommand(uint8_t opcode, int32_t value) {}

uint8_t* DeviceLink::BeginMotionPacket() {
  scratch_packet_[0] = 17;
  std::memset(scratch_packet_ + 1, 0, 63);
  return scratch_packet_ + 1;
}

void DeviceLink::CommitPacket() {}

}  // namespace vaskel
