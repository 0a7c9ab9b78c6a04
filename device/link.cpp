#include "device/link.h"

namespace vaskel {

// The workers are stopped by the link's owner before its members go.
DeviceLink::~DeviceLink() = default;

// The port's completion signals are made with the port; nothing is prepared ahead.
void DeviceLink::PrepareIo() {}

}  // namespace vaskel
