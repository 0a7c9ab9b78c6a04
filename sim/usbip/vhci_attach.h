#pragma once
// The importing side, as the usbip tool does it: connect to a USB/IP server, import one of its
// devices, and hand the connected socket to the kernel's virtual host controller (vhci-hcd)
// through its sysfs attach file. Linux only; needs root and the vhci-hcd module.
#include <cstdint>
#include <string>

namespace vaskel::sim::usbip {

constexpr const char* kVhciPath = "/sys/devices/platform/vhci_hcd.0";

// Imports busid from host:port and attaches it to a free full/high-speed port of the first
// virtual host controller. Returns that port, or -1 with a reason.
int AttachUsbipDevice(const std::string& host, uint16_t port, const std::string& busid,
                      std::string* error);

// Detaches a port attached above, as the usbip tool's detach does. False with a reason.
bool DetachVhciPort(int vhci_port, std::string* error);

}  // namespace vaskel::sim::usbip
