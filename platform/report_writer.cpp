#include "platform/report_writer.h"

#include <chrono>
#include <cstring>

namespace vaskel {

ReportWriter::ReportWriter(BlockingWrite write, uint32_t close_wait_ms,
                           std::function<void()> on_leave)
    : state_(std::make_shared<State>(std::move(write))),
      close_wait_ms_(close_wait_ms),
      on_leave_(std::move(on_leave)),
      thread_([state = state_] { Run(state); }) {}

ReportWriter::~ReportWriter() {
  Close();
  bool finished = true;
  if (close_wait_ms_ != kWaitForever) {
    std::unique_lock lock(state_->mutex);
    finished = state_->changed.wait_for(lock, std::chrono::milliseconds(close_wait_ms_),
                                        [&] { return state_->finished; });
  }
  if (finished) {
    thread_.join();
    return;
  }
  // A write the system holds until its own time-out (a board that NAKs): the owner does not
  // wait for it; the thread ends with it and lets its state go.
  if (on_leave_) on_leave_();
  thread_.detach();
}

uint32_t ReportWriter::StartWrite(const uint8_t report[kReportSize]) {
  State& s = *state_;
  std::lock_guard lock(s.mutex);
  if (s.closed) return hid_error::kInvalidHandle;
  if (s.gone) return hid_error::kDeviceNotConnected;
  // The caller keeps one write in flight; a second one would overwrite the buffer in use.
  if (s.pending) return hid_error::kGenFailure;
  std::memcpy(s.buffer, report, kReportSize);
  s.pending = true;
  s.changed.notify_all();
  return hid_error::kIoPending;
}

bool ReportWriter::WaitWriteDone(uint32_t timeout_ms) {
  State& s = *state_;
  std::unique_lock lock(s.mutex);
  return s.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                            [&] { return !s.pending; });
}

uint32_t ReportWriter::LastWriteResult() {
  std::lock_guard lock(state_->mutex);
  return state_->result;
}

void ReportWriter::Close() {
  std::lock_guard lock(state_->mutex);
  state_->closed = true;
  state_->changed.notify_all();
}

void ReportWriter::Run(const std::shared_ptr<State>& state) {
  State& s = *state;
  std::unique_lock lock(s.mutex);
  for (;;) {
    s.changed.wait(lock, [&] { return s.pending || s.closed; });
    // A report not yet begun when the port closes is dropped unwritten.
    if (s.closed) {
      if (s.pending) s.result = hid_error::kInvalidHandle;
      s.pending = false;
      s.finished = true;
      s.changed.notify_all();
      return;
    }
    uint8_t report[kReportSize];
    std::memcpy(report, s.buffer, kReportSize);
    lock.unlock();
    const uint32_t result = s.write(report);
    lock.lock();
    s.pending = false;
    s.result = result;
    if (result == hid_error::kDeviceNotConnected) s.gone = true;
    s.changed.notify_all();
  }
}

}  // namespace vaskel
