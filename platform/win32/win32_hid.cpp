// The USB HID bus on Windows: SetupDi enumeration of the HID interface class, attributes read
// through a handle without access rights, and one overlapped read handle and one overlapped
// write handle per open port, each with its manual-reset event.
#include <windows.h>
// setupapi.h and hidsdi.h need windows.h first.
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/system_hid.h"

namespace vaskel {
namespace {

constexpr DWORD kReadSliceMs = 100;
static_assert(sizeof(void*) == 8 || sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5,
              "the detail's fixed part is 5 bytes on 32-bit Windows");

class Win32HidPort : public HidPort {
 public:
  Win32HidPort(HANDLE read, HANDLE write)
      : read_(read),
        write_(write),
        read_event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
        write_event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

  ~Win32HidPort() override {
    Close();
    // The system may still write into the buffers until a cancelled transfer completes.
    if (read_pending_) WaitForSingleObject(read_event_, 1000);
    if (write_pending_) WaitForSingleObject(write_event_, 1000);
    CloseHandle(read_event_);
    CloseHandle(write_event_);
  }

  bool ok() const { return read_event_ && write_event_; }

  uint32_t StartWrite(const uint8_t report[kReportSize]) override {
    std::lock_guard lock(mutex_);
    if (closed_) return hid_error::kInvalidHandle;
    std::memcpy(write_buffer_, report, kReportSize);
    std::memset(&write_overlapped_, 0, sizeof write_overlapped_);
    write_overlapped_.hEvent = write_event_;
    ResetEvent(write_event_);
    DWORD written = 0;
    if (WriteFile(write_, write_buffer_, kReportSize, &written, &write_overlapped_)) {
      write_pending_ = false;
      return hid_error::kNone;
    }
    // A failed call that leaves no error code has still queued the write; it completes
    // through the event like a pending one.
    DWORD error = GetLastError();
    if (error == ERROR_SUCCESS) error = ERROR_IO_PENDING;
    write_pending_ = error == ERROR_IO_PENDING;
    return error;
  }

  bool WaitWriteDone(uint32_t timeout_ms) override {
    {
      std::lock_guard lock(mutex_);
      if (!write_pending_) return true;
    }
    if (WaitForSingleObject(write_event_, timeout_ms) != WAIT_OBJECT_0) return false;
    std::lock_guard lock(mutex_);
    if (write_pending_ && !closed_) {
      DWORD written = 0;
      GetOverlappedResult(write_, &write_overlapped_, &written, FALSE);
    }
    write_pending_ = false;
    return true;
  }

  int Read(uint8_t report[kReportSize], int timeout_ms) override {
    std::lock_guard reader(read_mutex_);
    if (!read_pending_) {
      std::lock_guard lock(mutex_);
      if (closed_) return -1;
      std::memset(&read_overlapped_, 0, sizeof read_overlapped_);
      read_overlapped_.hEvent = read_event_;
      ResetEvent(read_event_);
      DWORD got = 0;
      if (ReadFile(read_, read_buffer_, kReportSize, &got, &read_overlapped_)) {
        std::memcpy(report, read_buffer_, got);
        return static_cast<int>(got);
      }
      if (GetLastError() != ERROR_IO_PENDING) return -1;
      read_pending_ = true;
    }
    // A read that times out stays in flight; the next call waits for the same transfer.
    DWORD left = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
    for (;;) {
      const DWORD slice = left < kReadSliceMs ? left : kReadSliceMs;
      if (WaitForSingleObject(read_event_, slice) == WAIT_OBJECT_0) break;
      {
        std::lock_guard lock(mutex_);
        if (closed_) return -1;
      }
      if (left != INFINITE) {
        left -= slice;
        if (left == 0) return 0;
      }
    }
    std::lock_guard lock(mutex_);
    read_pending_ = false;
    if (closed_) return -1;
    DWORD got = 0;
    if (!GetOverlappedResult(read_, &read_overlapped_, &got, FALSE)) return -1;
    std::memcpy(report, read_buffer_, got);
    return static_cast<int>(got);
  }

  void Close() override {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    CancelIoEx(read_, nullptr);
    CancelIoEx(write_, nullptr);
    CloseHandle(read_);
    CloseHandle(write_);
  }

 private:
  const HANDLE read_;
  const HANDLE write_;
  const HANDLE read_event_;
  const HANDLE write_event_;
  std::mutex mutex_;       // the handles and the overlapped structures
  std::mutex read_mutex_;  // one reader at a time
  bool closed_ = false;
  bool write_pending_ = false;
  std::atomic<bool> read_pending_{false};
  OVERLAPPED write_overlapped_{};
  OVERLAPPED read_overlapped_{};
  uint8_t write_buffer_[kReportSize] = {};
  uint8_t read_buffer_[kReportSize] = {};
};

class Win32HidBus : public HidBus {
 public:
  std::vector<HidDeviceInfo> Enumerate() override {
    std::vector<HidDeviceInfo> list;
    GUID guid;
    HidD_GetHidGuid(&guid);
    HDEVINFO set =
        SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return list;
    for (DWORD index = 0;; ++index) {
      SP_DEVICE_INTERFACE_DATA data{};
      data.cbSize = sizeof data;
      if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data)) break;
      DWORD size = 0;
      SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
      if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
      std::vector<DWORD> buffer((size + sizeof(DWORD) - 1) / sizeof(DWORD));
      auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
      if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr)) continue;
      const std::string path = detail->DevicePath;
      HANDLE probe = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (probe == INVALID_HANDLE_VALUE) continue;
      HIDD_ATTRIBUTES attributes{};
      attributes.Size = sizeof attributes;
      const bool have = HidD_GetAttributes(probe, &attributes);
      CloseHandle(probe);
      if (!have) continue;
      list.push_back({attributes.VendorID, attributes.ProductID, attributes.VersionNumber, path});
    }
    SetupDiDestroyDeviceInfoList(set);
    return list;
  }

  std::unique_ptr<HidPort> Open(const std::string& path) override {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    const DWORD flags = FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL;
    HANDLE read =
        CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, flags, nullptr);
    HANDLE write =
        CreateFileA(path.c_str(), GENERIC_WRITE, share, nullptr, OPEN_EXISTING, flags, nullptr);
    if (read == INVALID_HANDLE_VALUE || write == INVALID_HANDLE_VALUE) {
      if (read != INVALID_HANDLE_VALUE) CloseHandle(read);
      if (write != INVALID_HANDLE_VALUE) CloseHandle(write);
      return nullptr;
    }
    auto port = std::make_unique<Win32HidPort>(read, write);
    if (!port->ok()) return nullptr;
    return port;
  }
};

}  // namespace

std::unique_ptr<HidBus> MakeSystemHidBus() {
  return std::make_unique<Win32HidBus>();
}

}  // namespace vaskel
