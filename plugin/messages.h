#pragma once
// Status-line messages: a fixed table of fourteen texts addressed by number, a fallback for
// numbers past the table, and the operating system's text for an error code. Four threads
// raise messages, so storing the number, showing it and assigning the host string are
// serialised by one lock.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "host/host_block.h"
#include "host/status_line.h"
#include "platform/clock.h"

namespace vaskel {

class Messages final : public StatusLine {
 public:
  static constexpr int kSlots = 15;
  static constexpr int kSlotSize = 100;
  static constexpr std::string_view kUnknown = "UNKNOW ERROR TRIGGERED";

  using ErrorTextFn = std::function<std::string(uint32_t)>;

  // One text the status line showed, kept for the diagnostic log: the host's thread writes
  // the log, the four threads that raise messages only queue.
  struct Shown {
    int64_t wall_ms = 0;
    uint32_t tick_ms = 0;
    std::string text;
    uint32_t repeats = 0;  // shown again this many times since, with nothing between
  };
  static constexpr size_t kShownKept = 64;

  explicit Messages(const HostBlocks& blocks, ErrorTextFn error_text, Clock* clock = nullptr)
      : blocks_(blocks), error_text_(std::move(error_text)), clock_(clock) {}

  void FillMessageTable();
  // Stores the number and shows it, as one step.
  void Raise(int32_t index) override;
  // The two halves of Raise, for the one message whose steps are apart (a duplicate device).
  void SetIndex(int32_t index) override { index_.store(index, std::memory_order_relaxed); }
  void ShowMessage() override;
  // Shows the operating system's text for an error code; the message number is not changed.
  void ShowSystemError(uint32_t code) override;
  void SetStatusText(std::string_view text) override;

  int32_t index() const override { return index_.load(std::memory_order_relaxed); }
  std::string_view TableText(int32_t index) const;
  // The texts shown since the last call, oldest first, and how many were left out for want of
  // room. Only while `keep` was set (the log is on).
  std::deque<Shown> TakeShown(uint64_t* left_out);
  void set_keep_shown(bool keep) { keep_shown_.store(keep, std::memory_order_relaxed); }

 private:
  std::string TextFor(int32_t index) const;
  void AssignLocked(std::string_view text);

  const HostBlocks& blocks_;
  ErrorTextFn error_text_;
  std::mutex mutex_;
  char table_[kSlots][kSlotSize] = {};
  std::atomic<int32_t> index_{0};
  Clock* clock_;
  std::atomic<bool> keep_shown_{false};
  std::deque<Shown> shown_;
  uint64_t shown_left_out_ = 0;
};

}  // namespace vaskel
