// The USB HID bus on Linux: hidapi (hidraw) lists the interfaces, and a port reads and writes
// its hidraw node itself, through one non-blocking and one blocking open. hidapi's read and write
// calls share one error string per device, so a reader and a writer on two threads would race on
// it. A write blocks until the board takes the report (or the kernel gives up on it), so each port
// writes on its own writer thread and a stuck board leaves a write in flight, as on Windows. Reads
// wait in slices of at most 100 ms so that Close is seen promptly.
#include <dlfcn.h>
#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>

#include "platform/report_writer.h"
#include "platform/system_hid.h"

namespace vaskel {
namespace {

constexpr int kReadSliceMs = 100;
// How long a close waits for a write the kernel holds (it gives up only after 5 s on a board
// that NAKs); past it the writer thread ends with that write on its own.
constexpr uint32_t kCloseWaitMs = 200;

bool PathExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// The write descriptor, closed by whoever lets go of it last: the port, or a writer thread
// that outlived it.
struct WriteFd {
  explicit WriteFd(int f) : fd(f) {}
  ~WriteFd() { close(fd); }
  WriteFd(const WriteFd&) = delete;
  WriteFd& operator=(const WriteFd&) = delete;
  const int fd;
};

// A writer thread left running after the port went must still find its code: the library
// stays loaded for the rest of the process.
void KeepLibraryLoaded() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&KeepLibraryLoaded), &info) != 0 && info.dli_fname) {
    dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
  }
}

// On the writer thread.
uint32_t WriteNow(int fd, const std::string& path, const uint8_t report[kReportSize]) {
  ssize_t put = -1;
  do {
    put = write(fd, report, kReportSize);  // byte 0 is the report id
  } while (put < 0 && errno == EINTR);
  if (put >= 0) return hid_error::kNone;
  const int error = errno;
  if (error == ENODEV || error == ENXIO || error == ESHUTDOWN || !PathExists(path)) {
    return hid_error::kDeviceNotConnected;
  }
  return hid_error::kGenFailure;
}

class HidapiPort : public HidPort {
 public:
  // Two opens of the node, as on Windows: a non-blocking one to read, a blocking one to write.
  HidapiPort(int read_fd, int write_fd, std::string path)
      : read_fd_(read_fd),
        writer_(
            std::in_place,
            [fd = std::make_shared<WriteFd>(write_fd), path = std::move(path)](const uint8_t* r) {
              return WriteNow(fd->fd, path, r);
            },
            kCloseWaitMs, &KeepLibraryLoaded) {}
  // The writer ends first (waiting a moment for the one write the kernel may hold), then the
  // reader is out of its slice, and only then does the device go.
  ~HidapiPort() override {
    Close();
    writer_.reset();
    std::lock_guard lock(read_mutex_);
    close(read_fd_);
  }

  uint32_t StartWrite(const uint8_t report[kReportSize]) override {
    return writer_->StartWrite(report);
  }

  bool WaitWriteDone(uint32_t timeout_ms) override { return writer_->WaitWriteDone(timeout_ms); }
  uint32_t LastWriteResult() override { return writer_->LastWriteResult(); }

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
      pollfd p{read_fd_, POLLIN, 0};
      const int ready = poll(&p, 1, slice);
      if (ready < 0 && errno != EINTR) return -1;
      if (ready > 0) {
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return -1;  // unplugged
        const ssize_t got = read(read_fd_, report + 1, kReportSize - 1);
        if (got < 0 && errno != EAGAIN && errno != EINTR) return -1;
        if (got > 0) {
          report[0] = 0;
          return static_cast<int>(got) + 1;
        }
      }
      if (timeout_ms >= 0 && slice == 0) return 0;
      if (timeout_ms >= 0 && std::chrono::steady_clock::now() >= deadline) return 0;
    }
  }

  // Never waits: a write the kernel holds ends on its own; the destructor waits a moment.
  void Close() override {
    closed_.store(true, std::memory_order_release);
    writer_->Close();
  }

 private:
  const int read_fd_;
  std::atomic<bool> closed_{false};
  std::mutex read_mutex_;
  std::optional<ReportWriter> writer_;
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
    const int read_fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (read_fd < 0) return nullptr;
    const int write_fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (write_fd < 0) {
      close(read_fd);
      return nullptr;
    }
    return std::make_unique<HidapiPort>(read_fd, write_fd, path);
  }

 private:
  bool initialised_ = false;
};

}  // namespace

std::unique_ptr<HidBus> MakeSystemHidBus() {
  return std::make_unique<HidapiBus>();
}

}  // namespace vaskel
