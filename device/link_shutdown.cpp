#include "device/link.h"

namespace vaskel {

// StopPlug, once every worker has ended: nothing reads or writes the port any more. This is
// an orderly close, not a lost board, so no message goes to the status line.
void DeviceLink::Shutdown() {
  ReleasePort();
}

}  // namespace vaskel
