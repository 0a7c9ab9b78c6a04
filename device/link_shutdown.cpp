#include "device/link.h"

namespace vaskel {

// StopPlug, once every worker has ended: nothing reads or writes the port any more. This is
// an orderly close, not a lost board, so no message goes to the status line.
void DeviceLink::Shutdown() {
  std::shared_ptr<HidPort> port;
  {
    std::lock_guard lock(port_mutex_);
    port.swap(port_);
  }
  if (port) port->Close();
  device_connected_.store(false, std::memory_order_release);
  link_running_.store(false, std::memory_order_release);
}

}  // namespace vaskel
