// Finding the board among the HID interfaces, opening it and closing it.
#include "device/link.h"
#include "platform/schedule_point.h"

namespace vaskel {

void DeviceLink::OpenDevice() {
  device_connected_.store(false, std::memory_order_release);
  {
    // Only reached while closed; a port left from before is let go all the same.
    std::shared_ptr<HidPort> stale;
    {
      std::lock_guard lock(port_mutex_);
      stale.swap(port_);
    }
    if (stale) stale->Close();
  }

  HidBus& bus = services_.bus();
  const std::vector<HidDeviceInfo> interfaces = bus.Enumerate();
  seen_.Clear();
  StatusLine& messages = services_.status;
  const HidDeviceInfo* opened = nullptr;
  bool port_opened = false;
  for (const HidDeviceInfo& info : interfaces) {
    if (seen_.RecordSeenDevice(info.vendor, info.product, info.release)) {
      // Shown only at the end of a pass that opened nothing.
      messages.SetIndex(kMsgDuplicateDevice);
    }
    if (info.vendor != kVendor || info.product != kProduct || info.release != kRelease) continue;
    // A board that cannot be opened (held by another program, going away) is not found on
    // this pass: counted as connected, it would burn a run of failed writes into a needless
    // resynchronisation and tell the user it was pulled out.
    std::shared_ptr<HidPort> port = bus.Open(info.path);
    if (!port) continue;
    opened = &info;
    port_opened = true;
    // Before the port is published: once it is, the sender may write, and nothing left from
    // the closed connection may reach the new one.
    ResetForNewConnection();
    VASKEL_SCHEDULE_POINT(services_.workers, "link start: rings reset");
    {
      // The write state is reset before the port is published, under the lock the sender
      // starts a write under: a write the sender starts on the new port is never forgotten.
      std::lock_guard lock(write_mutex_);
      completed_write_ = awaited_write_;
      write_in_flight_.store(false, std::memory_order_release);
      std::lock_guard port_lock(port_mutex_);
      port_ = std::move(port);
    }
    device_connected_.store(true, std::memory_order_release);
    WakeWorkers();
    break;  // the first match wins; later interfaces are not examined
  }
  if (!device_connected() && messages.index() == kMsgDuplicateDevice) messages.ShowMessage();
  LogDiscovery(bus, interfaces, opened, port_opened);
}

void DeviceLink::CloseDevice(LinkCloseReason reason) {
  close_wall_ms_.store(services_.clock.WallMillis(), std::memory_order_relaxed);
  close_tick_ms_.store(services_.clock.TickCountMs(), std::memory_order_relaxed);
  ReleasePort();
  close_reason_.store(reason, std::memory_order_relaxed);
  closes_posted_.fetch_add(1, std::memory_order_acq_rel);
  services_.status.Raise(kMsgDevicePulledOut);
  WakeWorkers();
}

void DeviceLink::ReleasePort() {
  std::shared_ptr<HidPort> port;
  {
    std::lock_guard lock(port_mutex_);
    port.swap(port_);
  }
  // Counted before LinkRunning is cleared: a status reply that aligns concurrently either
  // sees the count move or has its LinkRunning overwritten here.
  close_count_.fetch_add(1);
  // A blocked read on the port ends; the receiver's own reference keeps the object alive.
  if (port) port->Close();
  device_connected_.store(false);
  link_running_.store(false);
}

}  // namespace vaskel
