#include "plugin/messages.h"

#include <cstdio>
#include <cstring>

#include "host/host_string.h"

namespace vaskel {
namespace {

// The system's own texts, spelling included.
constexpr const char* kTexts[Messages::kSlots] = {
    "",
    "Some usb device make the usb detected program doesen't work well!",
    "vaskel device not found!",
    "vaskel device is pulled out, check your cable!",
    "vaskel device is connnected to your computer!",
    "speed jog invalid during pos joging!",
    "stop while jog mode is pos is illegal!",
    "moving while at estop state is illegal!",
    "engine offline!",
    "Vornex queue is not empty, unable to start jog!",
    "Jog function can't be enabled while homing, probing or dwell!",
    "Limits switch is actived, check you axises position!",
    "Limits Re-engaged",
    "probe io is disabled, check your io port setting.",
    "backlash working..",
};

}  // namespace

void Messages::FillMessageTable() {
  std::lock_guard lock(mutex_);
  for (int i = 0; i < kSlots; ++i) {
    std::memset(table_[i], 0, kSlotSize);
    std::strncpy(table_[i], kTexts[i], kSlotSize - 1);
  }
}

std::string_view Messages::TableText(int32_t index) const {
  if (index < 0 || index >= kSlots) return kUnknown;
  return table_[index];
}

std::string Messages::TextFor(int32_t index) const {
  // Numbers from 15 up (and, defensively, negative ones) have no slot.
  if (index < 0 || index >= kSlots) return std::string(kUnknown);
  return std::string(table_[index]);
}

void Messages::Raise(int32_t index) {
  std::lock_guard lock(mutex_);
  index_.store(index, std::memory_order_relaxed);
  AssignLocked(TextFor(index));
}

void Messages::ShowMessage() {
  std::lock_guard lock(mutex_);
  AssignLocked(TextFor(index_.load(std::memory_order_relaxed)));
}

void Messages::ShowSystemError(uint32_t code) {
  std::string text = error_text_ ? error_text_(code) : std::string();
  if (text.empty()) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "System error %lu (0x%08lX).",
                  static_cast<unsigned long>(code), static_cast<unsigned long>(code));
    text = buffer;
  }
  SetStatusText(text);
}

void Messages::SetStatusText(std::string_view text) {
  std::lock_guard lock(mutex_);
  AssignLocked(text);
}

std::deque<Messages::Shown> Messages::TakeShown(uint64_t* left_out) {
  std::lock_guard lock(mutex_);
  std::deque<Shown> taken;
  taken.swap(shown_);
  *left_out = shown_left_out_;
  shown_left_out_ = 0;
  return taken;
}

void Messages::AssignLocked(std::string_view text) {
  if (keep_shown_.load(std::memory_order_relaxed) && clock_) {
    // A message raised on every status reply (a limit held under the override) is one line.
    if (!shown_.empty() && shown_.back().text == text) {
      ++shown_.back().repeats;
    } else if (shown_.size() < kShownKept) {
      shown_.push_back({clock_->WallMillis(), clock_->TickCountMs(), std::string(text), 0});
    } else {
      ++shown_left_out_;
    }
  }
  const HostBlock& planner = blocks_.planner;
  if (!planner.valid()) return;  // nothing to show on before InitControl
  char* handle = planner.Get(planner::kStatusText);
  host_string::Assign(&handle, text);
  planner.Set(planner::kStatusText, handle);
}

}  // namespace vaskel
