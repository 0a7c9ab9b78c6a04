// The USB HID bus on Linux through hidapi (hidraw). Writes are synchronous: a report is either
// written (kNone) or failed (kDeviceNotConnected when the device node is gone, else
// kGenFailure). Reads wait in slices of at most 100 ms so that Close is seen promptly.
#include <hidapi/hidapi.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

#include "platform/system_hid.h"

namespace vaskel {
namespace {

constexpr int kReadSliceMs = 100;

bool PathExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

class HidapiPort : public HidPort {
 public:
  HidapiPort(hid_device* device, std::string path) : device_(device), path_(std::move(path)) {}
  ~HidapiPort() override { Close(); }

  uint32_t StartWrite(const uint8_t report[kReportSize]) override {
    std::lock_guard lock(write_mutex_);
    if (closed_.load(std::memory_order_acquire)) return hid_error::kInvalidHandle;
    errno = 0;
    if (hid_write(device_, report, kReportSize) >= 0) return hid_error::kNone;
    const int error = errno;
    if (error == ENODEV || error == ENXIO || error == ESHUTDOWN || !PathExists(path_)) {
      return hid_error::kDeviceNotConnected;
    }
    return hid_error::kGenFailure;
  }

  bool WaitWriteDone(uint32_t) override { return true; }  // every write completes in StartWrite

  int Read(uint8_t report[kReportSize], int timeout_ms) override {
    std::lock_guard lock(read_mutex_);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
    for (;;) {
      if (closed_.load(std::memory_order_acquire)) return -1;
      int slice = kReadSliceMs;
      if (timeout_ms >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        slice = static_cast<int>(std::clamp<int64_t>(left.count(), 0, kReadSliceMs));
      }
      // The board's reports carry no report id; hidraw hands over the 64 data bytes.
      const int got = hid_read_timeout(device_, report + 1, kReportSize - 1, slice);
      if (got < 0) return -1;
      if (got > 0) {
        report[0] = 0;
        return got + 1;
      }
      if (timeout_ms >= 0 && slice == 0) return 0;
      if (timeout_ms >= 0 && std::chrono::steady_clock::now() >= deadline) return 0;
    }
  }

  void Close() override {
    if (closed_.exchange(true, std::memory_order_acq_rel)) return;
    // A read slice or a write in progress ends on its own; the device goes once both are out.
    std::scoped_lock lock(read_mutex_, write_mutex_);
    hid_close(device_);
    device_ = nullptr;
  }

 private:
  hid_device* device_;
  const std::string path_;
  std::atomic<bool> closed_{false};
  std::mutex read_mutex_;
  std::mutex write_mutex_;
};

class HidapiBus : public HidBus {
 public:
  HidapiBus() { initialised_ = hid_init() == 0; }
  // Ports are gone by now: the link that owns them goes before the platform.
  ~HidapiBus() override {
    if (initialised_) hid_exit();
  }

  std::vector<HidDeviceInfo> Enumerate() override {
    std::vector<HidDeviceInfo> list;
    if (!initialised_) return list;
    hid_device_info* all = hid_enumerate(0, 0);
    for (hid_device_info* d = all; d; d = d->next) {
      if (!d->path) continue;
      list.push_back({d->vendor_id, d->product_id, d->release_number, d->path});
    }
    hid_free_enumeration(all);
    return list;
  }

  std::unique_ptr<HidPort> Open(const std::string& path) override {
    if (!initialised_) return nullptr;
    hid_device* device = hid_open_path(path.c_str());
    if (!device) return nullptr;
    return std::make_unique<HidapiPort>(device, path);
  }

 private:
  bool initialised_ = false;
};

}  // namespace

std::unique_ptr<HidBus> MakeSystemHidBus() {
  return std::make_unique<HidapiBus>();
}

}  // namespace vaskel
