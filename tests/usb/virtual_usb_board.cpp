#include "virtual_usb_board.h"

#include <chrono>
#include <filesystem>

#include "sim/usbip/vhci_attach.h"

namespace vaskel::testing {

VirtualUsbBoard::VirtualUsbBoard(sim::usbip::UsbIdentity identity) : server_(board_, identity) {
  std::string error;
  if (!server_.Listen("127.0.0.1", 0, &error)) return;
  thread_ = std::thread([this] {
    while (!stop_.load(std::memory_order_acquire)) server_.Step(5);
  });
}

VirtualUsbBoard::~VirtualUsbBoard() {
  stop_.store(true, std::memory_order_release);
  if (thread_.joinable()) thread_.join();
  // The server's destructor closes the connection: the kernel drops the device.
}

bool VirtualUsbBoard::Attach(std::string* error) {
  if (!thread_.joinable()) {
    *error = "the USB/IP server could not listen";
    return false;
  }
  return sim::usbip::AttachUsbipDevice("127.0.0.1", server_.port(), sim::UsbipBoardServer::kBusId,
                                       error) >= 0;
}

int HidrawCount() {
  std::error_code ec;
  int n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/class/hidraw", ec)) {
    (void)entry;
    ++n;
  }
  return n;
}

bool WaitForHidrawCount(int count, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (HidrawCount() != count) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace vaskel::testing
