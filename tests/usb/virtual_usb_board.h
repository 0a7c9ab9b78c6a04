#pragma once
// One board simulator plugged into this Linux machine as a USB device: served over USB/IP on
// loopback by its own thread and imported into the kernel's virtual host controller. Needs
// root and vhci-hcd (the guest of scripts/usb-vm-test.sh).
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "sim/board/board_simulator.h"
#include "sim/board/steady_clock.h"
#include "sim/usbip/usbip_board_server.h"

namespace vaskel::testing {

class VirtualUsbBoard {
 public:
  explicit VirtualUsbBoard(sim::usbip::UsbIdentity identity = {
                               sim::kBoardVendor, sim::kBoardProduct, sim::kBoardRelease});
  ~VirtualUsbBoard();

  // Imports the device into the kernel; false with a reason.
  bool Attach(std::string* error);
  // The cable: unplugging ends the USB/IP connection, so the kernel drops the device;
  // replugging lets it be imported again (Attach).
  void Unplug() { board_.Unplug(); }
  void Replug() { board_.Replug(); }

  sim::BoardSimulator& board() { return board_; }
  const sim::UsbipBoardServer& server() const { return server_; }

 private:
  sim::SteadyClock clock_;
  sim::BoardSimulator board_{clock_};
  sim::UsbipBoardServer server_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// HID interfaces the kernel has bound (hidraw nodes).
int HidrawCount();
// Waits up to timeout_ms of real time until the kernel has exactly `count` hidraw nodes.
bool WaitForHidrawCount(int count, int timeout_ms);

}  // namespace vaskel::testing
