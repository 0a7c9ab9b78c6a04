#include "platform/win32/overlapped_writer.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "platform/diagnostic_log.h"

namespace vaskel {
namespace {

// How long Start waits for the system's call to return before it calls the write pending.
// Windows returns at once, so it never waits this long there.
constexpr auto kCallReturnWait = std::chrono::milliseconds(50);

}  // namespace

// Shared by the port and its thread: whichever lets go last closes the handle.
struct OverlappedWriter::State {
  explicit State(HANDLE h) : handle(h), event(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~State() {
    CloseHandle(handle);
    if (event) CloseHandle(event);
  }

  const HANDLE handle;
  const HANDLE event;  // the OVERLAPPED's
  std::mutex mutex;
  std::condition_variable changed;
  // Under the mutex.
  bool closed = false;
  bool quit = false;
  bool requested = false;      // a report waits for the thread
  bool busy = false;           // a write has started and not been collected
  bool call_returned = false;  // the thread's WriteFile call has returned
  bool ended = false;          // and the write is over; its result is `result`
  bool told_pending = false;   // Start called it pending, so its result is LastResult's
  uint32_t result = hid_error::kNone;
  uint32_t last_result = hid_error::kNone;
  uint8_t buffer[kReportSize] = {};
  OVERLAPPED overlapped{};
};

namespace {

using State = OverlappedWriter::State;

void WriteOne(State& s) {
  bool refused = false;
  {
    std::lock_guard lock(s.mutex);
    if (s.closed) {
      refused = s.call_returned = s.ended = true;
      s.result = hid_error::kInvalidHandle;
    }
  }
  if (refused) {
    s.changed.notify_all();
    return;
  }
  std::memset(&s.overlapped, 0, sizeof s.overlapped);
  s.overlapped.hEvent = s.event;
  ResetEvent(s.event);
  DWORD written = 0;
  uint32_t error = hid_error::kNone;
  if (!WriteFile(s.handle, s.buffer, kReportSize, &written, &s.overlapped)) {
    // A failed call that leaves no error code counts as pending; its OVERLAPPED tells.
    error = GetLastError();
    if (error == ERROR_SUCCESS) error = ERROR_IO_PENDING;
  }
  {
    std::lock_guard lock(s.mutex);
    s.call_returned = true;
    if (error != ERROR_IO_PENDING) {
      s.result = error;
      s.ended = true;
    } else if (s.closed) {
      CancelIoEx(s.handle, &s.overlapped);  // the close came while the call was on its way
    }
  }
  s.changed.notify_all();
  if (error != ERROR_IO_PENDING) return;
  // Over when the system says so, delivered, failed or cancelled by a close.
  uint32_t result = hid_error::kNone;
  if (!GetOverlappedResult(s.handle, &s.overlapped, &written, TRUE)) {
    result = GetLastError();
    if (result == ERROR_SUCCESS) result = hid_error::kGenFailure;
  }
  {
    std::lock_guard lock(s.mutex);
    s.result = result;
    s.ended = true;
  }
  s.changed.notify_all();
}

struct ThreadStart {
  std::shared_ptr<State> state;
  HMODULE module;
};

// Everything the thread owns is gone when this returns.
HMODULE RunWriter(ThreadStart* start) {
  std::shared_ptr<State> state = std::move(start->state);
  const HMODULE module = start->module;
  delete start;
  State& s = *state;
  for (;;) {
    {
      std::unique_lock lock(s.mutex);
      s.changed.wait(lock, [&] { return s.quit || s.requested; });
      if (s.quit) break;
      s.requested = false;
    }
    WriteOne(s);
  }
  return module;
}

DWORD WINAPI WriterMain(void* start) {
  // The library stays loaded until this thread has left its code.
  FreeLibraryAndExitThread(RunWriter(static_cast<ThreadStart*>(start)), 0);
}

}  // namespace

OverlappedWriter::OverlappedWriter(HANDLE handle) : state_(std::make_shared<State>(handle)) {
  if (!state_->event) return;
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCSTR>(&WriterMain), &module)) {
    return;
  }
  auto* start = new ThreadStart{state_, module};
  thread_ = CreateThread(nullptr, 0, &WriterMain, start, 0, nullptr);
  if (!thread_) {
    delete start;
    FreeLibrary(module);
  }
}

OverlappedWriter::~OverlappedWriter() {
  Shutdown(0);
}

bool OverlappedWriter::ok() const {
  return thread_ != nullptr;
}

void OverlappedWriter::Cancel() {
  std::lock_guard lock(state_->mutex);
  if (state_->closed) return;
  state_->closed = true;
  CancelIoEx(state_->handle, nullptr);
}

void OverlappedWriter::Shutdown(DWORD wait_ms) {
  if (!thread_) return;
  Cancel();
  {
    std::lock_guard lock(state_->mutex);
    state_->quit = true;
  }
  state_->changed.notify_all();
  if (WaitForSingleObject(thread_, wait_ms) == WAIT_TIMEOUT) {
    WriteDiagnostic("vaskel: a cancelled HID write did not end; its thread ends with it");
  }
  CloseHandle(thread_);
  thread_ = nullptr;
}

uint32_t OverlappedWriter::Start(const uint8_t report[kReportSize]) {
  State& s = *state_;
  std::unique_lock lock(s.mutex);
  if (s.closed) return hid_error::kInvalidHandle;
  // Only one write in flight: the buffer and OVERLAPPED of an unfinished one are the system's.
  if (s.busy && !s.ended) return hid_error::kGenFailure;
  if (s.busy && s.told_pending) s.last_result = s.result;  // an end nobody collected
  std::memcpy(s.buffer, report, kReportSize);
  s.busy = true;
  s.requested = true;
  s.call_returned = false;
  s.ended = false;
  s.told_pending = false;
  s.changed.notify_all();
  s.changed.wait_for(lock, kCallReturnWait, [&] { return s.call_returned; });
  if (s.ended) {
    s.busy = false;
    return s.result;
  }
  s.told_pending = true;
  return hid_error::kIoPending;
}

bool OverlappedWriter::WaitDone(uint32_t timeout_ms) {
  State& s = *state_;
  std::unique_lock lock(s.mutex);
  const auto over = [&] { return !s.busy || s.ended; };
  if (timeout_ms == INFINITE) {
    s.changed.wait(lock, over);
  } else if (!s.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), over)) {
    return false;
  }
  if (s.busy) {
    s.busy = false;
    if (s.told_pending) s.last_result = s.result;
  }
  return true;
}

uint32_t OverlappedWriter::LastResult() {
  std::lock_guard lock(state_->mutex);
  return state_->last_result;
}

}  // namespace vaskel
