#pragma once
// The HID seam: one bus that enumerates interfaces and opens one, and a port that moves 65-byte
// reports. Backends: hidapi on Linux, SetupDi/HidD with overlapped I/O on Windows, the board
// simulator and the TCP emulator link.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vaskel {

constexpr size_t kReportSize = 65;  // report id + 64 data bytes

// Error codes of a failed write, in the platform's numbering (the Windows one is the reference).
namespace hid_error {
constexpr uint32_t kNone = 0;
constexpr uint32_t kIoPending = 997;            // accepted; completes later
constexpr uint32_t kDeviceNotConnected = 1167;  // board unplugged
constexpr uint32_t kGenFailure = 31;            // device does not function
constexpr uint32_t kInvalidHandle = 6;          // written after the port was closed
}  // namespace hid_error

struct HidDeviceInfo {
  uint16_t vendor = 0;
  uint16_t product = 0;
  uint16_t release = 0;
  std::string path;
};

class HidPort {
 public:
  virtual ~HidPort() = default;
  // Hands one output report to the system. Returns kNone when the write completed at once,
  // kIoPending when it completes later (signalled through WaitWriteDone), or another error code
  // about this report only. One write at a time: a call while a write is in flight starts
  // nothing.
  virtual uint32_t StartWrite(const uint8_t report[kReportSize]) = 0;
  // Waits up to timeout_ms for the write in flight to end; true when none is in flight.
  // Any number of threads may wait; each answer is about the write that is current. Close does
  // not end a write the system still holds: it stays in flight until the system lets it go.
  virtual bool WaitWriteDone(uint32_t timeout_ms) = 0;
  // How the last write that went pending ended, once WaitWriteDone has said it is over: kNone
  // when the system delivered it, else the error that failed it (kInvalidHandle when a close
  // dropped it unwritten). The caller keeps a failed report and writes it again.
  virtual uint32_t LastWriteResult() { return hid_error::kNone; }
  // Reads one input report, waiting up to timeout_ms (negative: until one comes or the port
  // closes). Returns the bytes transferred (0 on time-out or an empty read), or -1 once closed.
  virtual int Read(uint8_t report[kReportSize], int timeout_ms) = 0;
  // Closes the port; a blocked Read returns -1.
  virtual void Close() = 0;
};

class HidBus {
 public:
  virtual ~HidBus() = default;
  // Every present HID interface whose attributes could be read, in the system's order.
  virtual std::vector<HidDeviceInfo> Enumerate() = 0;
  // Opens an interface for reading and writing; null when it cannot be opened.
  virtual std::unique_ptr<HidPort> Open(const std::string& path) = 0;
  // For the diagnostic log: interfaces the last Enumerate looked for and did not list, each
  // with why ("tcp:127.0.0.1:5555 refused the connection"). A system bus lists what it has.
  virtual std::vector<std::string> Unlisted() { return {}; }
};

}  // namespace vaskel
