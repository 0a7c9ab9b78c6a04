#include "device/link.h"

namespace vaskel {

// Nothing is opened yet: discovery and the board handles arrive with the link workers.
void DeviceLink::Shutdown() {}

}  // namespace vaskel
