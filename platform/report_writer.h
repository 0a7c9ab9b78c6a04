#pragma once
// A write-one-report-at-a-time engine over a blocking write call, for ports whose system call
// blocks (hidapi's hid_write). The write runs on the port's own writer thread, so the port
// keeps the overlapped contract of HidPort: StartWrite hands the report over and returns
// kIoPending, WaitWriteDone waits for its end with a time-out, and Close never waits for a
// write the system holds.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/hid.h"

namespace vaskel {

class ReportWriter {
 public:
  // Writes one report, blocking until the system is done with it; returns a hid_error code.
  // Whatever it uses must stay valid as long as the function object lives: a writer left to
  // finish on its own keeps it.
  using BlockingWrite = std::function<uint32_t(const uint8_t report[kReportSize])>;
  static constexpr uint32_t kWaitForever = UINT32_MAX;

  // close_wait_ms: how long the destructor waits for a write the system holds. Past it the
  // writer thread is left to end with that write on its own, after `on_leave` has run (to keep
  // the code that thread runs loaded).
  explicit ReportWriter(BlockingWrite write, uint32_t close_wait_ms = kWaitForever,
                        std::function<void()> on_leave = {});
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
  // Shared with the writer thread, which may outlive the writer.
  struct State {
    explicit State(BlockingWrite w) : write(std::move(w)) {}
    const BlockingWrite write;
    std::mutex mutex;
    std::condition_variable changed;
    bool closed = false;
    bool pending = false;                // handed over and not yet written
    uint32_t result = hid_error::kNone;  // how the last handed-over write ended
    bool gone = false;
    bool finished = false;  // the thread is out of the write function for good
    uint8_t buffer[kReportSize] = {};
  };
  static void Run(const std::shared_ptr<State>& state);

  const std::shared_ptr<State> state_;
  const uint32_t close_wait_ms_;
  const std::function<void()> on_leave_;
  std::thread thread_;  // last: starts once everything above is ready
};

}  // namespace vaskel
