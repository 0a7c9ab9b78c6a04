#include "sim/chaos/reply_books.h"

#include <cstdio>
#include <utility>

namespace vaskel::chaos {

// The receiver dispatches each report as soon as it has read it, unless the link closed.
void ReplyBooks::CheckTaken() {
  const int32_t sequence = std::exchange(awaiting_take_, 0);
  DeviceLink& link = ctx_.link();
  if (sequence == 0 || failed() || link.link_starts() != starts_seen_ || !link.device_connected() ||
      link.pending_replies().IndexOf(sequence) == 0) {
    return;
  }
  char text[160];
  std::snprintf(text, sizeof text,
                "the reply to request %d of this connection was dropped: its pending entry "
                "was not taken",
                sequence);
  failure_ = text;
}

void ReplyBooks::ScanCommits() {
  CheckTaken();
  DeviceLink& link = ctx_.link();
  PacketRing& ring = link.send_ring();
  if (link.link_starts() != starts_seen_) {
    // The ring was reset and the table cleared.
    starts_seen_ = link.link_starts();
    write_seen_ = 0;
    evicted_at_start_ = link.pending_replies().evicted();
    relabels_at_start_ = relabels_;
  }
  for (int32_t i = write_seen_; i != ring.write_index(); i = (i + 1) & (PacketRing::kSlots - 1)) {
    const uint8_t* slot = ring.SlotAt(i);
    const uint8_t op = slot[0];
    if (op != kOpStatusRequest && op != kOpSyncQueryA && op != kOpSyncQueryB) continue;
    connection_of_[static_cast<size_t>(slot[1] | slot[2] << 8)] = starts_seen_ + 1;
  }
  write_seen_ = ring.write_index();
}

void ReplyBooks::NoteRelabel(uint16_t sequence) {
  if (ctx_.link().pending_replies().IndexOf(sequence) != 0) ++relabels_;
}

void ReplyBooks::OnUntouchedReply(const uint8_t* report, int size) {
  if (failed() || size < 3) return;
  ScanCommits();
  const auto sequence = static_cast<uint32_t>(report[1] | report[2] << 8);
  if (connection_of_[sequence] != starts_seen_ + 1) return;  // not of this connection
  PendingReplyTable& table = ctx_.link().pending_replies();
  if (table.evicted() != evicted_at_start_ || relabels_ != relabels_at_start_) {
    ++excused_;
    return;
  }
  if (table.IndexOf(static_cast<int32_t>(sequence)) != 0) {
    awaiting_take_ = static_cast<int32_t>(sequence);
    return;
  }
  char text[160];
  std::snprintf(text, sizeof text,
                "the reply to request %u of this connection, untouched by any fault, found no "
                "pending entry and was dropped",
                sequence);
  failure_ = text;
}

}  // namespace vaskel::chaos
