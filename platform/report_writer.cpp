#include "platform/report_writer.h"

#include <chrono>
#include <cstring>

namespace vaskel {

ReportWriter::ReportWriter(BlockingWrite write)
    : write_(std::move(write)), thread_([this] { Run(); }) {}

ReportWriter::~ReportWriter() {
  Close();
  thread_.join();
}

uint32_t ReportWriter::StartWrite(const uint8_t report[kReportSize]) {
  std::lock_guard lock(mutex_);
  if (closed_) return hid_error::kInvalidHandle;
  if (gone_) return hid_error::kDeviceNotConnected;
  // The caller keeps one write in flight; a second one would overwrite the buffer in use.
  if (pending_) return hid_error::kGenFailure;
  std::memcpy(buffer_, report, kReportSize);
  pending_ = true;
  changed_.notify_all();
  return hid_error::kIoPending;
}

bool ReportWriter::WaitWriteDone(uint32_t timeout_ms) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return !pending_; });
}

uint32_t ReportWriter::LastWriteResult() {
  std::lock_guard lock(mutex_);
  return result_;
}

void ReportWriter::Close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  changed_.notify_all();
}

void ReportWriter::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return pending_ || closed_; });
    // A report not yet begun when the port closes is dropped unwritten.
    if (closed_) {
      if (pending_) result_ = hid_error::kInvalidHandle;
      pending_ = false;
      changed_.notify_all();
      return;
    }
    uint8_t report[kReportSize];
    std::memcpy(report, buffer_, kReportSize);
    lock.unlock();
    const uint32_t result = write_(report);
    lock.lock();
    pending_ = false;
    result_ = result;
    if (result == hid_error::kDeviceNotConnected) gone_ = true;
    changed_.notify_all();
  }
}

}  // namespace vaskel
