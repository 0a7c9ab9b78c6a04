#pragma once
// A scriptable HID bus for tests: interfaces with any identity, and behind each openable path
// a FakeBoard that records every output report, answers status requests and sync queries on
// request, and can be told how each write ends (at once, pending, or with an error code).
// Safe to use from real worker threads.
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/hid.h"

namespace vaskel::testing {

using Report = std::array<uint8_t, kReportSize>;

inline uint32_t ReportValue(const Report& r, size_t at, int n) {
  uint32_t v = 0;
  for (int k = 0; k < n; ++k) v |= static_cast<uint32_t>(r[at + k]) << (8 * k);
  return v;
}

// An input report answering `sequence` with a status payload.
inline std::vector<uint8_t> StatusReply(uint16_t sequence, uint16_t fill,
                                        const std::array<int32_t, 6>& counts, uint32_t inputs = 0) {
  std::vector<uint8_t> r(kReportSize, 0);
  r[1] = static_cast<uint8_t>(sequence);
  r[2] = static_cast<uint8_t>(sequence >> 8);
  r[3] = static_cast<uint8_t>(fill);
  r[4] = static_cast<uint8_t>(fill >> 8);
  for (size_t i = 0; i < 6; ++i) {
    const auto c = static_cast<uint32_t>(counts[i]);
    for (int k = 0; k < 4; ++k) r[5 + 4 * i + k] = static_cast<uint8_t>(c >> (8 * k));
  }
  for (int k = 0; k < 4; ++k) r[29 + k] = static_cast<uint8_t>(inputs >> (8 * k));
  return r;
}

class FakeBoard {
 public:
  // How the next writes end, oldest first; once used up, every write completes at once.
  // Runs inside every write, under the board's lock (a test's clock moved by a slow system).
  void SetOnWrite(std::function<void()> hook) {
    std::lock_guard lock(mutex_);
    on_write_ = std::move(hook);
  }
  void QueueWriteResults(uint32_t code, int times = 1) {
    std::lock_guard lock(mutex_);
    for (int i = 0; i < times; ++i) write_results_.push_back(code);
  }
  // Ends the write left pending: delivered, or failed with `code` on its way.
  void CompleteWrite(uint32_t code = hid_error::kNone) {
    std::lock_guard lock(mutex_);
    write_pending_ = false;
    last_result_ = code;
    changed_.notify_all();
  }
  uint32_t last_result() const {
    std::lock_guard lock(mutex_);
    return last_result_;
  }
  // Queues an input report; an empty one is read as a 0-byte transfer.
  void QueueReport(std::vector<uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    reports_.push_back(std::move(bytes));
    changed_.notify_all();
  }
  // Answers every accepted status request with the status below, and every sync query.
  void SetAutoReply(bool on) {
    std::lock_guard lock(mutex_);
    auto_reply_ = on;
  }
  void SetStatus(uint16_t fill, const std::array<int32_t, 6>& counts, uint32_t inputs = 0) {
    std::lock_guard lock(mutex_);
    fill_ = fill;
    counts_ = counts;
    inputs_ = inputs;
  }

  std::vector<Report> written() const {
    std::lock_guard lock(mutex_);
    return written_;
  }
  std::vector<uint8_t> written_opcodes() const {
    std::lock_guard lock(mutex_);
    std::vector<uint8_t> ops;
    for (const Report& r : written_) ops.push_back(r[1]);
    return ops;
  }
  void ClearWritten() {
    std::lock_guard lock(mutex_);
    written_.clear();
  }
  size_t attempts() const {
    std::lock_guard lock(mutex_);
    return attempts_;
  }
  size_t reads_served() const {
    std::lock_guard lock(mutex_);
    return reads_served_;
  }
  bool write_pending() const {
    std::lock_guard lock(mutex_);
    return write_pending_;
  }
  // A write pending when its port closes stays the system's until CompleteWrite ends it, as a
  // kernel's own time-out would.
  void SetHoldAfterClose(bool on) {
    std::lock_guard lock(mutex_);
    hold_after_close_ = on;
  }
  bool holds_after_close() const {
    std::lock_guard lock(mutex_);
    return hold_after_close_;
  }
  // Ports of this board that were closed.
  size_t closed_ports() const {
    std::lock_guard lock(mutex_);
    return closed_ports_;
  }
  // Waits (bounded) until `n` reports have been read; for tests on real threads.
  bool WaitForReads(size_t n, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return reads_served_ >= n; });
  }

  // Port side.
  uint32_t StartWrite(const uint8_t report[kReportSize]) {
    std::lock_guard lock(mutex_);
    ++attempts_;
    if (on_write_) on_write_();
    uint32_t code = hid_error::kNone;
    if (!write_results_.empty()) {
      code = write_results_.front();
      write_results_.pop_front();
    }
    if (code != hid_error::kNone && code != hid_error::kIoPending) return code;
    Report r;
    std::memcpy(r.data(), report, kReportSize);
    written_.push_back(r);
    write_pending_ = code == hid_error::kIoPending;
    last_result_ = hid_error::kNone;
    if (auto_reply_) AnswerLocked(r);
    return code;
  }
  bool WaitWriteDone(uint32_t timeout_ms) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return !write_pending_; });
  }
  int Read(uint8_t report[kReportSize], int timeout_ms, const bool& closed) {
    std::unique_lock lock(mutex_);
    const auto ready = [&] { return closed || !reports_.empty(); };
    if (timeout_ms > 0) changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready);
    if (closed) return -1;
    if (reports_.empty()) return 0;
    std::vector<uint8_t> next = std::move(reports_.front());
    reports_.pop_front();
    const size_t n = next.size() < kReportSize ? next.size() : kReportSize;
    if (n > 0) std::memcpy(report, next.data(), n);
    ++reads_served_;
    changed_.notify_all();
    return static_cast<int>(n);
  }
  void WakeReaders() {
    std::lock_guard lock(mutex_);
    changed_.notify_all();
  }
  void NoteClosedLocked() { ++closed_ports_; }
  std::mutex& mutex() const { return mutex_; }

 private:
  void AnswerLocked(const Report& r) {
    const uint8_t opcode = r[1];
    uint16_t sequence = 0;
    if (opcode == 18) {
      sequence = static_cast<uint16_t>(ReportValue(r, 2, 2));
      reports_.push_back(StatusReply(sequence, fill_, counts_, inputs_));
    } else if (opcode == 26 || opcode == 29) {
      sequence = static_cast<uint16_t>(ReportValue(r, 2, 4));
      std::vector<uint8_t> reply(kReportSize, 0);
      reply[1] = static_cast<uint8_t>(sequence);
      reply[2] = static_cast<uint8_t>(sequence >> 8);
      reports_.push_back(std::move(reply));
    } else {
      return;
    }
    changed_.notify_all();
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<uint32_t> write_results_;
  std::function<void()> on_write_;
  std::deque<std::vector<uint8_t>> reports_;
  std::vector<Report> written_;
  size_t attempts_ = 0;
  size_t reads_served_ = 0;
  size_t closed_ports_ = 0;
  bool write_pending_ = false;
  uint32_t last_result_ = hid_error::kNone;
  bool auto_reply_ = false;
  bool hold_after_close_ = false;
  uint16_t fill_ = 0;
  std::array<int32_t, 6> counts_{};
  uint32_t inputs_ = 0;
};

class FakeHidPort : public HidPort {
 public:
  explicit FakeHidPort(FakeBoard& board) : board_(board) {}
  uint32_t StartWrite(const uint8_t report[kReportSize]) override {
    if (is_closed()) return hid_error::kInvalidHandle;
    return board_.StartWrite(report);
  }
  // A close drops a write still pending, unwritten, unless the board is told to hold it on.
  bool WaitWriteDone(uint32_t timeout_ms) override {
    if (is_closed() && !board_.holds_after_close()) return true;
    return board_.WaitWriteDone(timeout_ms);
  }
  uint32_t LastWriteResult() override {
    if (is_closed() && board_.write_pending()) return hid_error::kInvalidHandle;
    return board_.last_result();
  }
  int Read(uint8_t report[kReportSize], int timeout_ms) override {
    return board_.Read(report, timeout_ms, closed_);
  }
  void Close() override {
    {
      std::lock_guard lock(board_.mutex());
      if (!closed_) board_.NoteClosedLocked();
      closed_ = true;
    }
    board_.WakeReaders();
  }
  bool is_closed() const {
    std::lock_guard lock(board_.mutex());
    return closed_;
  }

 private:
  FakeBoard& board_;
  bool closed_ = false;  // guarded by the board's lock
};

class FakeHidBus : public HidBus {
 public:
  // An interface that is listed but cannot be opened unless a board is attached to its path.
  void AddInterface(uint16_t vendor, uint16_t product, uint16_t release, std::string path) {
    std::lock_guard lock(mutex_);
    interfaces_.push_back({vendor, product, release, std::move(path)});
  }
  void AttachBoard(const std::string& path, FakeBoard* board) {
    std::lock_guard lock(mutex_);
    boards_[path] = board;
  }
  void Unplug(const std::string& path) {
    std::lock_guard lock(mutex_);
    std::erase_if(interfaces_, [&](const HidDeviceInfo& i) { return i.path == path; });
  }
  void ClearInterfaces() {
    std::lock_guard lock(mutex_);
    interfaces_.clear();
  }
  // Opening the board's path yields null, as when the system refuses it.
  void SetOpenFails(bool fails) {
    std::lock_guard lock(mutex_);
    open_fails_ = fails;
  }
  std::vector<std::string> opened() const {
    std::lock_guard lock(mutex_);
    return opened_;
  }

  std::vector<HidDeviceInfo> Enumerate() override {
    std::lock_guard lock(mutex_);
    return interfaces_;
  }
  std::unique_ptr<HidPort> Open(const std::string& path) override {
    std::lock_guard lock(mutex_);
    opened_.push_back(path);
    auto it = boards_.find(path);
    if (open_fails_ || it == boards_.end()) return nullptr;
    return std::make_unique<FakeHidPort>(*it->second);
  }

 private:
  mutable std::mutex mutex_;
  std::vector<HidDeviceInfo> interfaces_;
  std::map<std::string, FakeBoard*> boards_;
  std::vector<std::string> opened_;
  bool open_fails_ = false;
};

}  // namespace vaskel::testing
