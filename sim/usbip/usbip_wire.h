#pragma once
// The USB/IP wire format (protocol version 1.1.1): the operation messages that list and import
// an exported device, and the 48-byte headers of the URB traffic that follows an import. Every
// field travels big-endian.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vaskel::sim::usbip {

constexpr uint16_t kVersion = 0x0111;
constexpr uint16_t kOpReqDevlist = 0x8005;
constexpr uint16_t kOpRepDevlist = 0x0005;
constexpr uint16_t kOpReqImport = 0x8003;
constexpr uint16_t kOpRepImport = 0x0003;
constexpr size_t kOpHeaderSize = 8;  // version, code, status
constexpr size_t kBusIdSize = 32;
constexpr size_t kDeviceRecordSize = 312;  // path, busid, numbers, identity, classes

constexpr uint32_t kCmdSubmit = 1;
constexpr uint32_t kCmdUnlink = 2;
constexpr uint32_t kRetSubmit = 3;
constexpr uint32_t kRetUnlink = 4;
constexpr size_t kUrbHeaderSize = 48;
constexpr uint32_t kDirOut = 0;
constexpr uint32_t kDirIn = 1;

// URB status codes as the client's kernel reads them (negated errno values).
constexpr int32_t kStatusOk = 0;
constexpr int32_t kStatusStall = -32;      // EPIPE
constexpr int32_t kStatusUnlinked = -104;  // ECONNRESET

constexpr uint32_t kSpeedFull = 2;

struct ExportedDevice {
  std::string path;
  std::string busid;
  uint32_t busnum = 1;
  uint32_t devnum = 2;
  uint32_t speed = kSpeedFull;
  uint16_t vendor = 0;
  uint16_t product = 0;
  uint16_t release = 0;
  uint8_t configuration_value = 1;
  uint8_t interface_class = 3;  // HID
};

struct OpHeader {
  uint16_t version = 0;
  uint16_t code = 0;
  uint32_t status = 0;
};

// A USBIP_CMD_SUBMIT or USBIP_CMD_UNLINK as the client sent it (payload not included).
struct UrbCommand {
  uint32_t command = 0;
  uint32_t seqnum = 0;
  uint32_t devid = 0;
  uint32_t direction = 0;
  uint32_t endpoint = 0;
  uint32_t transfer_flags = 0;
  uint32_t transfer_length = 0;
  uint32_t number_of_packets = 0;
  uint32_t unlink_seqnum = 0;
  std::array<uint8_t, 8> setup{};
};

OpHeader DecodeOpHeader(const uint8_t* p);
void AppendOpHeader(std::vector<uint8_t>& out, uint16_t code, uint32_t status);
// The device record of a devlist or import reply; the devlist adds its interfaces after it.
void AppendDeviceRecord(std::vector<uint8_t>& out, const ExportedDevice& device);
ExportedDevice DecodeDeviceRecord(const uint8_t* p);

UrbCommand DecodeUrbCommand(const uint8_t* p);
// How many payload bytes follow the header of this command on the wire.
uint32_t PayloadSize(const UrbCommand& command);
void AppendRetSubmit(std::vector<uint8_t>& out, uint32_t seqnum, int32_t status,
                     const uint8_t* data, uint32_t actual_length, bool data_follows);
void AppendRetUnlink(std::vector<uint8_t>& out, uint32_t seqnum, int32_t status);

// The client's side: an import request, and URB commands (OUT payload appended).
void AppendImportRequest(std::vector<uint8_t>& out, const std::string& busid);
void AppendCmdSubmit(std::vector<uint8_t>& out, const UrbCommand& command,
                     const std::vector<uint8_t>& payload);
void AppendCmdUnlink(std::vector<uint8_t>& out, uint32_t seqnum, uint32_t unlink_seqnum);

void PutBig16(std::vector<uint8_t>& out, uint16_t v);
void PutBig32(std::vector<uint8_t>& out, uint32_t v);
uint16_t GetBig16(const uint8_t* p);
uint32_t GetBig32(const uint8_t* p);

}  // namespace vaskel::sim::usbip
