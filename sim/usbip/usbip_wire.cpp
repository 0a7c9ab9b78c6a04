#include "sim/usbip/usbip_wire.h"

#include <algorithm>

namespace vaskel::sim::usbip {
namespace {

void PutString(std::vector<uint8_t>& out, const std::string& s, size_t size) {
  const size_t n = std::min(s.size(), size - 1);  // always closed with a zero byte
  out.insert(out.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
  out.insert(out.end(), size - n, 0);
}

std::string GetString(const uint8_t* p, size_t size) {
  size_t n = 0;
  while (n < size && p[n]) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

void PutBasic(std::vector<uint8_t>& out, uint32_t command, uint32_t seqnum, uint32_t devid,
              uint32_t direction, uint32_t endpoint) {
  PutBig32(out, command);
  PutBig32(out, seqnum);
  PutBig32(out, devid);
  PutBig32(out, direction);
  PutBig32(out, endpoint);
}

}  // namespace

void PutBig16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

void PutBig32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

uint16_t GetBig16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint32_t GetBig32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

OpHeader DecodeOpHeader(const uint8_t* p) {
  return {GetBig16(p), GetBig16(p + 2), GetBig32(p + 4)};
}

void AppendOpHeader(std::vector<uint8_t>& out, uint16_t code, uint32_t status) {
  PutBig16(out, kVersion);
  PutBig16(out, code);
  PutBig32(out, status);
}

void AppendDeviceRecord(std::vector<uint8_t>& out, const ExportedDevice& d) {
  PutString(out, d.path, 256);
  PutString(out, d.busid, kBusIdSize);
  PutBig32(out, d.busnum);
  PutBig32(out, d.devnum);
  PutBig32(out, d.speed);
  PutBig16(out, d.vendor);
  PutBig16(out, d.product);
  PutBig16(out, d.release);
  out.push_back(0);  // device class: given by the interface
  out.push_back(0);
  out.push_back(0);
  out.push_back(d.configuration_value);
  out.push_back(1);  // configurations
  out.push_back(1);  // interfaces
}

ExportedDevice DecodeDeviceRecord(const uint8_t* p) {
  ExportedDevice d;
  d.path = GetString(p, 256);
  d.busid = GetString(p + 256, kBusIdSize);
  d.busnum = GetBig32(p + 0x120);
  d.devnum = GetBig32(p + 0x124);
  d.speed = GetBig32(p + 0x128);
  d.vendor = GetBig16(p + 0x12c);
  d.product = GetBig16(p + 0x12e);
  d.release = GetBig16(p + 0x130);
  d.configuration_value = p[0x135];
  return d;
}

UrbCommand DecodeUrbCommand(const uint8_t* p) {
  UrbCommand c;
  c.command = GetBig32(p);
  c.seqnum = GetBig32(p + 4);
  c.devid = GetBig32(p + 8);
  c.direction = GetBig32(p + 12);
  c.endpoint = GetBig32(p + 16);
  if (c.command == kCmdUnlink) {
    c.unlink_seqnum = GetBig32(p + 20);
    return c;
  }
  c.transfer_flags = GetBig32(p + 20);
  c.transfer_length = GetBig32(p + 24);
  c.number_of_packets = GetBig32(p + 32);
  std::copy(p + 40, p + 48, c.setup.begin());
  return c;
}

uint32_t PayloadSize(const UrbCommand& c) {
  return c.command == kCmdSubmit && c.direction == kDirOut ? c.transfer_length : 0;
}

void AppendRetSubmit(std::vector<uint8_t>& out, uint32_t seqnum, int32_t status,
                     const uint8_t* data, uint32_t actual_length, bool data_follows) {
  PutBasic(out, kRetSubmit, seqnum, 0, 0, 0);
  PutBig32(out, static_cast<uint32_t>(status));
  PutBig32(out, actual_length);
  PutBig32(out, 0);  // start frame
  PutBig32(out, 0);  // packets: none, this is no isochronous transfer
  PutBig32(out, 0);  // error count
  out.insert(out.end(), 8, 0);
  if (data_follows && data) out.insert(out.end(), data, data + actual_length);
}

void AppendRetUnlink(std::vector<uint8_t>& out, uint32_t seqnum, int32_t status) {
  PutBasic(out, kRetUnlink, seqnum, 0, 0, 0);
  PutBig32(out, static_cast<uint32_t>(status));
  out.insert(out.end(), 24, 0);
}

void AppendImportRequest(std::vector<uint8_t>& out, const std::string& busid) {
  AppendOpHeader(out, kOpReqImport, 0);
  PutString(out, busid, kBusIdSize);
}

void AppendCmdSubmit(std::vector<uint8_t>& out, const UrbCommand& c,
                     const std::vector<uint8_t>& payload) {
  PutBasic(out, kCmdSubmit, c.seqnum, c.devid, c.direction, c.endpoint);
  PutBig32(out, c.transfer_flags);
  PutBig32(out, c.transfer_length);
  PutBig32(out, 0);
  PutBig32(out, c.number_of_packets);
  PutBig32(out, 0);  // interval
  out.insert(out.end(), c.setup.begin(), c.setup.end());
  out.insert(out.end(), payload.begin(), payload.end());
}

void AppendCmdUnlink(std::vector<uint8_t>& out, uint32_t seqnum, uint32_t unlink_seqnum) {
  PutBasic(out, kCmdUnlink, seqnum, 0, 0, 0);
  PutBig32(out, unlink_seqnum);
  out.insert(out.end(), 24, 0);
}

}  // namespace vaskel::sim::usbip
