#pragma once
// Status-line messages: a fixed table of fourteen texts addressed by number, a fallback for
// numbers past the table, and the operating system's text for an error code. Four threads
// raise messages, so storing the number, showing it and assigning the host string are
// serialised by one lock.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "host/host_block.h"
#include "host/status_line.h"

namespace vaskel {

class Messages final : public StatusLine {
 public:
  static constexpr int kSlots = 15;
  static constexpr int kSlotSize = 100;
  static constexpr std::string_view kUnknown = "UNKNOW ERROR TRIGGERED";

  using ErrorTextFn = std::function<std::string(uint32_t)>;

  explicit Messages(const HostBlocks& blocks, ErrorTextFn error_text)
      : blocks_(blocks), error_text_(std::move(error_text)) {}

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

 private:
  std::string TextFor(int32_t index) const;
  void AssignLocked(std::string_view text);

  const HostBlocks& blocks_;
  ErrorTextFn error_text_;
  std::mutex mutex_;
  char table_[kSlots][kSlotSize] = {};
  std::atomic<int32_t> index_{0};
};

}  // namespace vaskel
