#pragma once
// Which handler awaits which sequence number. The host's thread registers requests and the
// receiver takes them, so every change is made under one small lock.
#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace vaskel {

// What runs when a reply arrives: the payload starts at byte 3 of the input report.
struct ReplyHandler {
  using Fn = void (*)(void* user, const uint8_t* payload, size_t size);
  Fn fn = nullptr;
  void* user = nullptr;

  explicit operator bool() const { return fn != nullptr; }
  void operator()(const uint8_t* payload, size_t size) const { fn(user, payload, size); }
};

class PendingReplyTable {
 public:
  static constexpr int32_t kEntries = 1024;  // entry 0 is the list head

  // Adds a pending entry in the lowest free slot, at the end of the list (oldest first); when
  // no entry is free, the oldest entry makes room. `kind` names the request's kind (its
  // opcode). False, and nothing changes, when the sequence number is 0.
  bool RegisterReply(int32_t sequence, ReplyHandler handler, uint8_t kind = 0);
  // Removes and returns the oldest pending entry with this sequence number, with every entry
  // of its kind registered before it (the board answers each kind in order, so their replies
  // were lost); empty, and nothing removed, when none. Replies of other kinds may come in
  // any order: their entries stay.
  ReplyHandler TakeReplyHandler(int32_t sequence);
  // Forgets every pending entry.
  void Clear();

  int32_t pending() const;
  // Entries that made room for a newer request.
  uint32_t evicted() const {
    std::lock_guard lock(mutex_);
    return evicted_;
  }
  // Index of the oldest pending entry with this sequence number, 0 when none (for tests).
  int32_t IndexOf(int32_t sequence) const;

 private:
  struct Entry {
    int32_t next = 0;
    int32_t sequence = 0;
    ReplyHandler handler;
    uint8_t kind = 0;
  };
  mutable std::mutex mutex_;
  std::array<Entry, kEntries> entries_{};
  int32_t tail_ = 0;  // last entry of the list, so registering does not walk it
  int32_t pending_ = 0;
  int32_t lowest_free_ = 1;
  uint32_t evicted_ = 0;
};

}  // namespace vaskel
