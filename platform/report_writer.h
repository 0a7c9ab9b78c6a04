#pragma once
// A write-one-report-at-a-time engine over a blocking write call, for ports whose system call
// blocks (hidapi's hid_write). The write runs on the port's own writer thread, so the port
// keeps the overlapped contract of HidPort: StartWrite hands the report over and returns
// kIoPending, WaitWriteDone waits for its end with a time-out, and Close never waits for a
// write the system holds.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/hid.h"

namespace vaskel {

class ReportWriter {
 public:
  // Writes one report, blocking until the system is done with it; returns a hid_error code.
  using BlockingWrite = std::function<uint32_t(const uint8_t report[kReportSize])>;

  explicit ReportWriter(BlockingWrite write);
  // Waits for the write the system holds, if any: at most one write.
  ~ReportWriter();
  ReportWriter(const ReportWriter&) = delete;
  ReportWriter& operator=(const ReportWriter&) = delete;

  // kIoPending when the report was handed to the writer. kDeviceNotConnected stays once seen.
  uint32_t StartWrite(const uint8_t report[kReportSize]);
  // True when no write is in flight, within timeout_ms. A write the system holds stays in
  // flight after Close until the system ends it.
  bool WaitWriteDone(uint32_t timeout_ms);
  // How the last handed-over write ended (kInvalidHandle: a close dropped it unwritten).
  uint32_t LastWriteResult();
  // Refuses further writes and wakes every waiter; returns at once.
  void Close();

 private:
  void Run();

  const BlockingWrite write_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool closed_ = false;
  bool pending_ = false;                // handed over and not yet written
  uint32_t result_ = hid_error::kNone;  // how the last handed-over write ended
  bool gone_ = false;
  uint8_t buffer_[kReportSize] = {};
  std::thread thread_;  // last: starts once everything above is ready
};

}  // namespace vaskel
