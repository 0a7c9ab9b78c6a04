#pragma once
// The emulator link: each TCP endpoint is one HID interface. On connecting, the emulator sends
// its vendor, product and release (16-bit little-endian each); after that every output report
// travels as its 65 bytes to the emulator and every input report as 65 bytes back. A refused
// connection is an absent interface; a connection the emulator closes is an unplugged board.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/hid.h"

namespace vaskel {

struct TcpEndpoint {
  std::string host;
  uint16_t port = 0;
  std::string Path() const { return "tcp:" + host + ":" + std::to_string(port); }
};

constexpr size_t kTcpHelloSize = 6;

// On the platform's sockets (BSD sockets, Winsock); the logic above them is shared.
std::unique_ptr<HidBus> MakeTcpHidBus(std::vector<TcpEndpoint> endpoints);

}  // namespace vaskel
