#pragma once
// The write half of the overlapped port: one write at a time, made on a thread of its own.
// Windows returns from an overlapped WriteFile on a HID handle at once; Wine returns only
// once its driver has taken the report, which for a board that takes none is the kernel's
// time-out of 5 s. Made here, that wait holds neither the caller nor a worker's step, so the
// link's rule for a stuck write and its shutdown keep their times on both.
#include <windows.h>

#include <cstdint>
#include <memory>

#include "platform/hid.h"

namespace vaskel {

class OverlappedWriter {
 public:
  // Takes the handle (opened with FILE_FLAG_OVERLAPPED); ok() is false when its thread could
  // not start, and the handle is then closed.
  explicit OverlappedWriter(HANDLE handle);
  // Cancels a write in flight and waits up to wait_ms for it and the thread to end. A thread
  // the system still holds is left to finish on its own: it keeps the library loaded and the
  // handle and buffer alive until then.
  void Shutdown(DWORD wait_ms);
  ~OverlappedWriter();
  OverlappedWriter(const OverlappedWriter&) = delete;
  OverlappedWriter& operator=(const OverlappedWriter&) = delete;

  bool ok() const;
  // HidPort's StartWrite, WaitWriteDone and LastWriteResult. A write whose call ends within a
  // moment says how it ended as Windows' own call would; one the system holds is pending.
  uint32_t Start(const uint8_t report[kReportSize]);
  bool WaitDone(uint32_t timeout_ms);
  uint32_t LastResult();
  // No write starts after this; one in flight is cancelled.
  void Cancel();

  struct State;

 private:
  std::shared_ptr<State> state_;
  HANDLE thread_ = nullptr;
};

}  // namespace vaskel
