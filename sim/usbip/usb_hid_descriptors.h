#pragma once
// The board as a full-speed USB HID device: its descriptors (one configuration, one interface
// with a vendor-defined 64-byte input and output report, interrupt IN 0x81 and OUT 0x01 at
// 1 ms) and its answers to the standard and HID class control requests.
#include <array>
#include <cstdint>
#include <vector>

namespace vaskel::sim::usbip {

constexpr uint8_t kEndpointIn = 0x81;
constexpr uint8_t kEndpointOut = 0x01;
constexpr uint16_t kMaxPacket = 64;

struct UsbIdentity {
  uint16_t vendor = 0;
  uint16_t product = 0;
  uint16_t release = 0;
};

struct ControlAnswer {
  bool stall = false;
  std::vector<uint8_t> data;  // for device-to-host requests, cut to the asked length
  // A SET_REPORT with an output report: its data is one report for the board.
  bool output_report = false;
};

std::vector<uint8_t> DeviceDescriptor(const UsbIdentity& identity);
std::vector<uint8_t> ConfigurationDescriptor();
std::vector<uint8_t> ReportDescriptor();

// setup: the 8 bytes of the request; data: what a host-to-device request carried.
ControlAnswer AnswerControl(const UsbIdentity& identity, const std::array<uint8_t, 8>& setup,
                            const std::vector<uint8_t>& data);

}  // namespace vaskel::sim::usbip
