#include "device/pending_reply_table.h"

namespace vaskel {

bool PendingReplyTable::RegisterReply(int32_t sequence, ReplyHandler handler, uint8_t kind) {
  // Sequence 0 marks a free entry; storing it would leave a linked entry that looks free.
  if (sequence == 0) return false;
  std::lock_guard lock(mutex_);
  // Every entry below the hint is taken, so the search for the lowest free one starts there.
  for (int32_t i = lowest_free_; i < kEntries; ++i) {
    Entry& e = entries_[i];
    if (e.sequence != 0) continue;
    lowest_free_ = i + 1;
    e.next = 0;
    e.sequence = sequence;
    e.handler = handler;
    e.kind = kind;
    entries_[tail_].next = i;
    tail_ = i;
    ++pending_;
    return true;
  }
  // Full: the board answers in order, so with 1023 requests behind it the oldest one's reply
  // is lost. Left in place, it and its like would turn away every new request, and the first
  // reply once the board answers again would find no entry to clear them by.
  const int32_t oldest = entries_[0].next;
  entries_[0].next = entries_[oldest].next;
  if (tail_ == oldest) tail_ = 0;
  entries_[oldest] = Entry{0, sequence, handler, kind};
  entries_[tail_].next = oldest;
  tail_ = oldest;
  ++evicted_;
  return true;
}

ReplyHandler PendingReplyTable::TakeReplyHandler(int32_t sequence) {
  std::lock_guard lock(mutex_);
  int32_t found = 0;
  for (int32_t i = entries_[0].next; i != 0; i = entries_[i].next) {
    if (entries_[i].sequence == sequence) {
      found = i;
      break;
    }
  }
  if (found == 0) return {};
  // The board answers each kind in order: every request of this kind registered before this
  // one has lost its reply, and its entry would otherwise stay until the table is full.
  const ReplyHandler handler = entries_[found].handler;
  const uint8_t kind = entries_[found].kind;
  int32_t previous = 0;
  for (int32_t i = entries_[0].next; i != 0;) {
    const int32_t next = entries_[i].next;
    const bool done = i == found;
    if (done || entries_[i].kind == kind) {
      entries_[previous].next = next;
      if (tail_ == i) tail_ = previous;
      entries_[i] = Entry{};
      if (i < lowest_free_) lowest_free_ = i;
      --pending_;
    } else {
      previous = i;
    }
    if (done) break;
    i = next;
  }
  return handler;
}

void PendingReplyTable::Clear() {
  std::lock_guard lock(mutex_);
  entries_ = {};
  tail_ = 0;
  pending_ = 0;
  lowest_free_ = 1;
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
