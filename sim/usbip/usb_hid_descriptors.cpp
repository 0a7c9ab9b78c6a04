#include "sim/usbip/usb_hid_descriptors.h"

#include <algorithm>
#include <string>

namespace vaskel::sim::usbip {
namespace {

// Standard requests (bRequest) and descriptor types.
constexpr uint8_t kGetStatus = 0;
constexpr uint8_t kClearFeature = 1;
constexpr uint8_t kSetFeature = 3;
constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kGetConfiguration = 8;
constexpr uint8_t kSetConfiguration = 9;
constexpr uint8_t kGetInterface = 10;
constexpr uint8_t kSetInterface = 11;
constexpr uint8_t kTypeDevice = 1;
constexpr uint8_t kTypeConfiguration = 2;
constexpr uint8_t kTypeString = 3;
constexpr uint8_t kTypeHid = 0x21;
constexpr uint8_t kTypeReport = 0x22;
// HID class requests.
constexpr uint8_t kGetReport = 1;
constexpr uint8_t kGetIdle = 2;
constexpr uint8_t kGetProtocol = 3;
constexpr uint8_t kSetReport = 9;
constexpr uint8_t kSetIdle = 10;
constexpr uint8_t kSetProtocol = 11;
constexpr uint8_t kOutputReportType = 2;

void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

std::vector<uint8_t> StringDescriptor(const std::string& text) {
  std::vector<uint8_t> d{static_cast<uint8_t>(2 + 2 * text.size()), kTypeString};
  for (char c : text) Put16(d, static_cast<uint8_t>(c));
  return d;
}

std::vector<uint8_t> HidDescriptor() {
  std::vector<uint8_t> d{9, kTypeHid};
  Put16(d, 0x0111);  // HID 1.11
  d.push_back(0);    // not localised
  d.push_back(1);    // one class descriptor: the report descriptor
  d.push_back(kTypeReport);
  Put16(d, static_cast<uint16_t>(ReportDescriptor().size()));
  return d;
}

ControlAnswer Data(std::vector<uint8_t> bytes, uint16_t length) {
  ControlAnswer a;
  a.data = std::move(bytes);
  if (a.data.size() > length) a.data.resize(length);
  return a;
}

ControlAnswer Stall() {
  ControlAnswer a;
  a.stall = true;
  return a;
}

ControlAnswer GetDescriptor(const UsbIdentity& identity, uint8_t type, uint8_t index,
                            uint16_t length) {
  switch (type) {
    case kTypeDevice:
      return Data(DeviceDescriptor(identity), length);
    case kTypeConfiguration:
      return Data(ConfigurationDescriptor(), length);
    case kTypeString:
      if (index == 0) return Data({4, kTypeString, 0x09, 0x04}, length);  // English (US)
      if (index == 1) return Data(StringDescriptor("vaskel"), length);
      if (index == 2) return Data(StringDescriptor("vaskel motion board (simulated)"), length);
      return Stall();
    case kTypeHid:
      return Data(HidDescriptor(), length);
    case kTypeReport:
      return Data(ReportDescriptor(), length);
    default:  // device qualifier and the like: a full-speed-only device has none
      return Stall();
  }
}

}  // namespace

std::vector<uint8_t> DeviceDescriptor(const UsbIdentity& identity) {
  std::vector<uint8_t> d{18, kTypeDevice};
  Put16(d, 0x0110);  // USB 1.1: full speed only, no qualifier to ask for
  d.push_back(0);    // class, subclass, protocol: per interface
  d.push_back(0);
  d.push_back(0);
  d.push_back(kMaxPacket);
  Put16(d, identity.vendor);
  Put16(d, identity.product);
  Put16(d, identity.release);
  d.push_back(1);  // manufacturer string
  d.push_back(2);  // product string
  d.push_back(0);  // no serial number
  d.push_back(1);  // configurations
  return d;
}

std::vector<uint8_t> ConfigurationDescriptor() {
  std::vector<uint8_t> d{9, kTypeConfiguration, 0, 0, 1, 1, 0, 0x80, 50};
  const std::vector<uint8_t> interface { 9, 4, 0, 0, 2, 3, 0, 0, 0 };  // HID, no boot protocol
  d.insert(d.end(), interface.begin(), interface.end());
  const std::vector<uint8_t> hid = HidDescriptor();
  d.insert(d.end(), hid.begin(), hid.end());
  for (uint8_t address : {kEndpointIn, kEndpointOut}) {
    d.insert(d.end(), {7, 5, address, 3});  // interrupt
    Put16(d, kMaxPacket);
    d.push_back(1);  // 1 ms
  }
  d[2] = static_cast<uint8_t>(d.size());
  d[3] = static_cast<uint8_t>(d.size() >> 8);
  return d;
}

std::vector<uint8_t> ReportDescriptor() {
  return {
      0x06, 0x00, 0xff,  // usage page: vendor defined
      0x09, 0x01,        // usage 1
      0xa1, 0x01,        // collection: application
      0x15, 0x00,        //   logical minimum 0
      0x26, 0xff, 0x00,  //   logical maximum 255
      0x75, 0x08,        //   report size: 8 bits
      0x95, 0x40,        //   report count: 64
      0x09, 0x01,        //   usage 1
      0x81, 0x02,        //   input: data, variable, absolute
      0x95, 0x40,        //   report count: 64
      0x09, 0x01,        //   usage 1
      0x91, 0x02,        //   output: data, variable, absolute
      0xc0,              // end collection
  };
}

ControlAnswer AnswerControl(const UsbIdentity& identity, const std::array<uint8_t, 8>& setup,
                            const std::vector<uint8_t>& data) {
  const uint8_t request_type = setup[0];
  const uint8_t request = setup[1];
  const uint16_t value = static_cast<uint16_t>(setup[2] | setup[3] << 8);
  const uint16_t length = static_cast<uint16_t>(setup[6] | setup[7] << 8);
  const uint8_t kind = request_type & 0x60;  // standard, class or vendor
  if (kind == 0x00) {
    switch (request) {
      case kGetDescriptor:
        return GetDescriptor(identity, static_cast<uint8_t>(value >> 8),
                             static_cast<uint8_t>(value), length);
      case kGetStatus:
        return Data({0, 0}, length);
      case kGetConfiguration:
        return Data({1}, length);
      case kGetInterface:
        return Data({0}, length);
      case kSetConfiguration:
      case kSetInterface:
      case kClearFeature:
      case kSetFeature:
        return {};
      default:
        return Stall();
    }
  }
  if (kind == 0x20) {
    switch (request) {
      case kGetReport:
        return Data(std::vector<uint8_t>(kMaxPacket, 0), length);
      case kGetIdle:
        return Data({0}, length);
      case kGetProtocol:
        return Data({1}, length);  // report protocol
      case kSetIdle:
      case kSetProtocol:
        return {};
      case kSetReport: {
        ControlAnswer a;
        a.output_report = (value >> 8) == kOutputReportType && !data.empty();
        return a;
      }
      default:
        return Stall();
    }
  }
  return Stall();
}

}  // namespace vaskel::sim::usbip
