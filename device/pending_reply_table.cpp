#include "device/pending_reply_table.h"

namespace vaskel {

bool PendingReplyTable::RegisterReply(int32_t sequence, ReplyHandler handler) {
  // Sequence 0 marks a free entry; storing it would leave a linked entry that looks free.
  if (sequence == 0) return false;
  std::lock_guard lock(mutex_);
  for (int32_t i = 1; i < kEntries; ++i) {
    Entry& e = entries_[i];
    if (e.sequence != 0) continue;
    e.next = 0;
    e.sequence = sequence;
    e.handler = handler;
    entries_[tail_].next = i;
    tail_ = i;
    ++pending_;
    return true;
  }
  return false;
}

ReplyHandler PendingReplyTable::TakeReplyHandler(int32_t sequence) {
  std::lock_guard lock(mutex_);
  int32_t current = 0;
  while (entries_[current].next != 0) {
    const int32_t index = entries_[current].next;
    Entry& e = entries_[index];
    if (e.sequence == sequence) {
      entries_[current].next = e.next;
      if (tail_ == index) tail_ = current;
      const ReplyHandler handler = e.handler;
      e = Entry{};
      --pending_;
      return handler;
    }
    current = index;
  }
  return {};
}

void PendingReplyTable::Clear() {
  std::lock_guard lock(mutex_);
  entries_ = {};
  tail_ = 0;
  pending_ = 0;
}

int32_t PendingReplyTable::pending() const {
  std::lock_guard lock(mutex_);
  return pending_;
}

int32_t PendingReplyTable::IndexOf(int32_t sequence) const {
  std::lock_guard lock(mutex_);
  for (int32_t i = entries_[0].next; i != 0; i = entries_[i].next) {
    if (entries_[i].sequence == sequence) return i;
  }
  return 0;
}

}  // namespace vaskel
