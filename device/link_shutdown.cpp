#include "device/link.h"

namespace vaskel {

// StopPlug, once every worker has ended: nothing reads or writes the port any more. This is
// an orderly close, not a lost board, so no message goes to the status line.
void DeviceLink::Shutdown() {
  // A close not yet told, then the state of the link as StopPlug found it.
  LogLinkEvents();
  if (services_.log.enabled() && device_connected()) {
    const uint32_t now = services_.clock.TickCountMs();
    WriteStatsLine(now);
    WriteDump("StopPlug", now);
  }
  ReleasePort();
}

}  // namespace vaskel
