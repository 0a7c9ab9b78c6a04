// A read is over when its own OVERLAPPED says so. The event only says "look again": it may
// carry a late signal of the read before. Writes are the writer's (overlapped_writer.h).
#include "platform/win32/overlapped_port.h"

#include <cstring>
#include <memory>
#include <mutex>

#include "platform/diagnostic_log.h"
#include "platform/win32/overlapped_writer.h"

namespace vaskel {
namespace {

constexpr DWORD kWaitSliceMs = 100;
// After a signal that came before its transfer showed the end, the next looks come this soon,
// this many times.
constexpr DWORD kRecheckMs = 1;
constexpr int kRechecks = 20;
// How long a closing port waits for its cancelled transfers, both together. Windows ends them
// at once; Wine's HID stack may never end a cancelled read.
constexpr DWORD kCancelWaitMs = 500;

// Waits up to timeout_ms (INFINITE: without bound) for `ended`, waking on `event`.
template <class Ended>
bool WaitUntil(HANDLE event, DWORD timeout_ms, Ended ended) {
  const ULONGLONG start = GetTickCount64();
  int rechecks = 0;
  for (;;) {
    if (ended()) return true;
    DWORD slice = rechecks > 0 ? kRecheckMs : kWaitSliceMs;
    if (timeout_ms != INFINITE) {
      const ULONGLONG waited = GetTickCount64() - start;
      if (waited >= timeout_ms) return false;
      if (timeout_ms - waited < slice) slice = static_cast<DWORD>(timeout_ms - waited);
    }
    // A signal left over from the transfer before is cleared, so the wait never spins on it.
    // A signal may also run a moment ahead of the OVERLAPPED it is about: then the end is
    // looked for again soon, not a whole slice later.
    if (WaitForSingleObject(event, slice) == WAIT_OBJECT_0 && !ended()) {
      ResetEvent(event);
      rechecks = kRechecks;
    } else if (rechecks > 0) {
      --rechecks;
    }
  }
}

class OverlappedPort : public HidPort {
 public:
  OverlappedPort(HANDLE read, HANDLE write)
      : read_(read), read_event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)), writer_(write) {}

  ~OverlappedPort() override {
    Close();
    // The system owns a started transfer's OVERLAPPED, buffer and event until it ends. One
    // that does not end after its cancellation keeps them for good: they are left to it, so a
    // late completion writes into memory nobody reuses and signals an event nobody closed.
    const ULONGLONG start = GetTickCount64();
    const bool read_ended = !read_pending_ || WaitUntil(read_event_, kCancelWaitMs,
                                                        [&] { return Ended(read_overlapped_); });
    const ULONGLONG spent = GetTickCount64() - start;
    writer_.Shutdown(spent < kCancelWaitMs ? static_cast<DWORD>(kCancelWaitMs - spent) : 0);
    CloseHandle(read_);
    if (read_ended) {
      if (read_event_) CloseHandle(read_event_);
      return;
    }
    static_cast<void>(transfers_.release());  // left to the system
    WriteDiagnostic("vaskel: a cancelled HID transfer did not end; its buffers are left to it");
  }

  bool ok() const { return read_event_ && writer_.ok(); }

  uint32_t StartWrite(const uint8_t report[kReportSize]) override { return writer_.Start(report); }

  // A close cancels the write; it is over once the system says so, delivered or not.
  bool WaitWriteDone(uint32_t timeout_ms) override { return writer_.WaitDone(timeout_ms); }

  uint32_t LastWriteResult() override { return writer_.LastResult(); }

  int Read(uint8_t report[kReportSize], int timeout_ms) override {
    std::lock_guard reader(read_mutex_);
    {
      std::lock_guard lock(mutex_);
      if (closed_) return -1;
      if (!read_pending_) {
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
    }
    // A read that times out stays in flight; the next call waits for the same transfer.
    const DWORD timeout = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
    const bool ended = WaitUntil(read_event_, timeout, [&] {
      std::lock_guard lock(mutex_);
      return closed_ || Ended(read_overlapped_);
    });
    if (!ended) return 0;
    std::lock_guard lock(mutex_);
    if (closed_) return -1;  // the destructor collects the read
    read_pending_ = false;
    DWORD got = 0;
    if (!GetOverlappedResult(read_, &read_overlapped_, &got, FALSE)) return -1;
    std::memcpy(report, read_buffer_, got);
    return static_cast<int>(got);
  }

  // Cancels both transfers; the handles stay open until the transfers have ended.
  void Close() override {
    writer_.Cancel();
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    CancelIoEx(read_, nullptr);
  }

 private:
  static bool Ended(const OVERLAPPED& overlapped) { return HasOverlappedIoCompleted(&overlapped); }

  const HANDLE read_;
  const HANDLE read_event_;
  std::mutex mutex_;       // the flags, the OVERLAPPED and the buffer
  std::mutex read_mutex_;  // one reader at a time
  bool closed_ = false;
  bool read_pending_ = false;
  // On the heap, apart from the port: what a read that outlives the port still uses.
  struct Transfers {
    OVERLAPPED read_overlapped{};
    uint8_t read_buffer[kReportSize] = {};
  };
  std::unique_ptr<Transfers> transfers_ = std::make_unique<Transfers>();
  OVERLAPPED& read_overlapped_ = transfers_->read_overlapped;
  uint8_t (&read_buffer_)[kReportSize] = transfers_->read_buffer;
  OverlappedWriter writer_;
};

}  // namespace

std::unique_ptr<HidPort> MakeOverlappedPort(HANDLE read, HANDLE write) {
  auto port = std::make_unique<OverlappedPort>(read, write);
  if (!port->ok()) return nullptr;
  return port;
}

}  // namespace vaskel
