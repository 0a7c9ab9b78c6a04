#include "sim/chaos/intent_books.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "sim/board/segment_decode.h"

namespace vaskel::chaos {
namespace {

constexpr uint64_t kSerialMask = 0xffffffffull;
constexpr int32_t kSlotMask = PacketRing::kSlots - 1;

bool IsHost(uint64_t tag) {
  return (tag & ~kSerialMask) == IntentBooks::kHostTag;
}

bool MovesNothing(const sim::ExecutedSegment& s) {
  return std::all_of(s.steps.begin(), s.steps.end(), [](int32_t v) { return v == 0; });
}

}  // namespace

void IntentBooks::Fail(const char* invariant, const std::string& text) {
  if (failed()) return;
  invariant_ = invariant;
  failure_ = text;
}

uint32_t IntentBooks::SerialAt(int32_t slot) const {
  const HostBlock& e = ctx_.host().engine;
  return static_cast<uint32_t>(e.Get(engine::kSegmentTag[static_cast<size_t>(slot) & 0xfff]));
}

void IntentBooks::NoteQueued(uint32_t serial, const std::array<int32_t, 6>& steps) {
  if (serial != steps_.size() + 1) return Fail("intent", "the host's serials are out of step");
  steps_.push_back(steps);
  state_.push_back(kQueued);
  cuts_at_queue_.push_back(cuts_);
}

void IntentBooks::NoteDiscarded(int32_t from_slot, int32_t to_slot) {
  for (int32_t i = from_slot & 0xfff; i != (to_slot & 0xfff); i = (i + 1) & 0xfff) {
    const uint32_t serial = SerialAt(i);
    if (serial != 0 && serial <= state_.size()) state_[serial - 1] |= kDiscarded;
  }
}

void IntentBooks::CheckIdleDirections(const uint8_t* body) {
  constexpr uint16_t kDirection = 0x800, kCount = 0x7ff;
  for (int k = 0; k < sim::kSegmentsPerPacket; ++k) {
    const std::array<uint16_t, sim::kChannels> f =
        sim::SegmentFields(body + sim::kSegmentBytes * k);
    if ((f[0] & kCount) != 0) shared_direction_ = f[0] & kDirection;
    for (int c = 0; c < sim::kChannels; ++c) {
      if ((f[c] & kCount) != 0 || (f[c] & kDirection) == shared_direction_) continue;
      char text[120];
      std::snprintf(text, sizeof text,
                    "channel %d without steps has direction bit %d, not channel 0's last %d", c,
                    (f[c] & kDirection) != 0, shared_direction_ != 0);
      Fail("wire", text);
      return;
    }
  }
}

void IntentBooks::OnMotionPacket(const uint8_t* body,
                                 const std::array<StreamedSegment, 7>& segments) {
  PacketRing& ring = ctx_.link().send_ring();
  const auto slot = static_cast<int32_t>((body - 1 - ring.SlotAt(0)) /
                                         static_cast<std::ptrdiff_t>(PacketRing::kSlotSize));
  std::array<uint64_t, 7>& tags = slot_tags_[static_cast<size_t>(slot & kSlotMask)];
  char text[160];
  CheckIdleDirections(body);
  CheckPaddingEndsStream(segments);
  for (size_t k = 0; k < segments.size(); ++k) {
    const StreamedSegment& s = segments[k];
    if (s.source == kHostTrajectory) {
      const uint32_t serial = SerialAt(s.slot);
      if (serial == 0 || serial > state_.size()) {
        const HostBlock& e = ctx_.host().engine;
        std::snprintf(text, sizeof text,
                      "host slot %d streamed, which holds no queued entry (consumer %d, "
                      "producer %d)",
                      s.slot, e.Get(engine::kTrajConsumerIndex), e.Get(engine::kTrajProducerIndex));
        Fail("intent", text);
        tags[k] = 0;
        continue;
      }
      if (serial <= stop_floor_) {
        std::snprintf(text, sizeof text,
                      "host entry %u, queued before an operator stop, streamed after it", serial);
        Fail("stop", text);
      }
      if (serial <= closed_) {
        std::snprintf(text, sizeof text,
                      "host entry %u was streamed again after a stop cut it (entries up to %u)",
                      serial, closed_);
        Fail("intent", text);
      }
      state_[serial - 1] |= kEncoded;
      // A slaved axis's steps go out on its master's channel: what moves is what the board
      // is sent.
      const sim::ChannelSteps sent = sim::DecodeSegment(body + sim::kSegmentBytes * k);
      if (std::all_of(sent.begin(), sent.end(), [](int32_t v) { return v == 0; })) {
        state_[serial - 1] |= kMovesNothing;
      }
      most_encoded_ = std::max(most_encoded_, serial);
      tags[k] = kHostTag | serial;
    } else if (s.source == kJogRing || s.source == kBacklashRing) {
      const sim::ChannelSteps sent = sim::DecodeSegment(body + sim::kSegmentBytes * k);
      const bool moves = std::any_of(sent.begin(), sent.end(), [](int32_t v) { return v != 0; });
      // A take-up for an entry queued since may go out; a jog's, home's or probe's segment
      // asked for before the stop may not.
      if (moves && plugin_closed_ &&
          (s.source == kJogRing || static_cast<uint32_t>(state_.size()) <= stop_floor_)) {
        Fail("stop", "a segment of a move asked for before an operator stop streamed after it");
      }
      tags[k] = kPluginTag | static_cast<uint64_t>(s.source) << 32 | static_cast<uint32_t>(s.slot);
    } else {
      tags[k] = 0;
    }
  }
  current_tag_.AfterPacket(ctx_, segments);
}

// A packet of nothing but standstill goes out only where a stream has ended: the host's with
// FlushPartial, a jog's, home's or probe's with its ramps idle. A take-up's ends, and a
// reversal pads its packet, on the way to the take-up.
void IntentBooks::CheckPaddingEndsStream(const std::array<StreamedSegment, 7>& segments) {
  if (std::any_of(segments.begin(), segments.end(),
                  [](const StreamedSegment& s) { return s.source != 0xff; })) {
    return;
  }
  MotionEngine& motion = ctx_.motion();
  if (motion.segment_source() == kBacklashRing || motion.state() == kBacklashTakeUp) return;
  const bool going_on = motion.segment_source() == kJogRing
                            ? !RampGenerator::AllIdle(motion.ramps().jog_ramps())
                            : motion.segment_source() == kHostTrajectory &&
                                  !ctx_.host().planner.Get(planner::kFlushPartial);
  if (going_on) Fail("standstill", "an empty motion packet went out inside a stream still going");
}

void IntentBooks::NoteOperatorStop() {
  stop_floor_ = static_cast<uint32_t>(state_.size());
  plugin_closed_ = true;
}

void IntentBooks::OnStreamCut() {
  closed_ = most_encoded_;
  ++cuts_;
}

void IntentBooks::TrackTakes() {
  DeviceLink& link = ctx_.link();
  const uint32_t starts = link.link_starts();
  if (starts != starts_seen_) {
    starts_seen_ = starts;
    read_seen_ = 0;  // a link start resets the ring
  }
  const int32_t read = link.send_ring().read_index();
  if (read != read_seen_) {
    held_tags_ = slot_tags_[static_cast<size_t>((read - 1) & kSlotMask)];
    read_seen_ = read;
  }
}

std::array<uint64_t, 7> IntentBooks::TagsForWrite() {
  TrackTakes();
  return held_tags_;
}

bool IntentBooks::RanWhole(const sim::ExecutedSegment& s) const {
  // Steps on a channel the board does not count never run, and are not missed; a segment that
  // moves none of the counted ones shows nothing of how far it ran.
  bool moves = false;
  for (size_t c = 0; c < s.steps.size(); ++c) {
    if ((counted_channels_ >> c & 1) == 0) continue;
    if (s.ran[c] != s.steps[c]) return false;
    moves = moves || s.steps[c] != 0;
  }
  return moves;
}

void IntentBooks::Observe() {
  TrackTakes();
  if (const std::string wrong = current_tag_.Check(ctx_); !wrong.empty()) Fail("intent", wrong);
  for (const sim::ExecutedSegment& s : board_.TakeExecuted()) {
    if (segment_hook_) segment_hook_(s);
    if (s.fate == sim::SegmentFate::kRan ||
        (s.fate == sim::SegmentFate::kStopped && RanWhole(s) && !MovesNothing(s))) {
      // A stop that cut a segment after all its steps had run cut nothing of it.
      CloseLostQueue();
      CheckRun(s);
    } else if (s.fate == sim::SegmentFate::kStopped && IsHost(s.tag) &&
               std::any_of(s.ran.begin(), s.ran.end(), [](int32_t v) { return v != 0; })) {
      cut_ran_[static_cast<uint32_t>(s.tag & kSerialMask)] = s.ran;
    } else if (s.fate == sim::SegmentFate::kUnplugged && excuse_unplug_) {
      if (IsHost(s.tag)) state_[(s.tag & kSerialMask) - 1] |= kExcused;
    } else if (s.fate == sim::SegmentFate::kUnplugged) {
      // A segment cut in hand lost only what of it had not run.
      sim::ExecutedSegment lost = s;
      for (size_t c = 0; c < lost.steps.size(); ++c) {
        // Steps on a channel the board does not count leave no trace to miss.
        lost.steps[c] = (counted_channels_ >> c & 1) != 0 ? lost.steps[c] - s.ran[c] : 0;
      }
      lost_queue_.push_back(lost);
    } else if (s.fate == sim::SegmentFate::kReset && excuse_reset_ && IsHost(s.tag)) {
      state_[(s.tag & kSerialMask) - 1] |= kExcused;
    } else if (s.fate == sim::SegmentFate::kOverflowed && IsHost(s.tag)) {
      // Only a lying fill lets the plug-in send past the board's room (the bounds invariant
      // fails otherwise): the board itself dropped this entry.
      state_[(s.tag & kSerialMask) - 1] |= kExcused;
      ++lie_losses_;
    }
  }
  CloseLostQueue();
}

// A board that drops its queue when its host goes away keeps its counts: the plug-in sees the
// loss by counts that no longer account for what it sent. Segments whose steps add up to
// nothing on every channel (a pause in the program) leave no such trace, so their loss cannot
// be told from their run; they are excused, and counted.
void IntentBooks::CloseLostQueue() {
  if (lost_queue_.empty()) return;
  sim::ExecutedSegment sum;
  for (const sim::ExecutedSegment& s : lost_queue_) {
    for (size_t c = 0; c < sum.steps.size(); ++c) sum.steps[c] += s.steps[c];
  }
  if (MovesNothing(sum)) {
    bool any = false;
    for (const sim::ExecutedSegment& s : lost_queue_) {
      if (IsHost(s.tag)) {
        state_[(s.tag & kSerialMask) - 1] |= kExcused;
        any = true;
      }
    }
    invisible_losses_ += any;
  } else if (IsHost(lost_queue_.back().tag) &&
             std::all_of(lost_queue_.begin(), lost_queue_.end() - 1, MovesNothing)) {
    // The counts are one segment short, as they would be with the last segment still in hand;
    // the pauses lost before it leave no trace either way.
    for (const sim::ExecutedSegment& s : lost_queue_) {
      if (IsHost(s.tag)) state_[(s.tag & kSerialMask) - 1] |= kExcused;
    }
    ++in_hand_losses_;
    may_repeat_last_ = true;
  }
  lost_queue_.clear();
}

void IntentBooks::CheckRun(const sim::ExecutedSegment& s) {
  char text[200];
  if (s.tag == 0) {
    if (std::any_of(s.steps.begin(), s.steps.end(), [](int32_t v) { return v != 0; })) {
      Fail("intent", "the board ran a moving segment that no ring entry was streamed into");
    }
    return;
  }
  if (!IsHost(s.tag)) return;
  const auto serial = static_cast<uint32_t>(s.tag & kSerialMask);
  // An entry that moves nothing leaves no trace in the board's counts: a resynchronisation
  // cannot tell whether it ran, and sends it again rather than skip it (a pause of one
  // segment longer).
  if (serial <= last_run_ && (state_[serial - 1] & kMovesNothing) && (state_[serial - 1] & kRun)) {
    ++repeated_pauses_;
    return;
  }
  if (serial <= last_run_ && (state_[serial - 1] & kMayRunAgain) && (state_[serial - 1] & kRun)) {
    state_[serial - 1] &= static_cast<uint8_t>(~kMayRunAgain);
    return;
  }
  if (serial == last_run_ && std::exchange(may_repeat_last_, false)) return;
  if (serial <= last_run_) {
    std::snprintf(text, sizeof text,
                  "host entry %u ran after entry %u: an entry ran twice or out of order", serial,
                  last_run_);
    return Fail("intent", text);
  }
  last_run_ = serial;
  state_[serial - 1] |= kRun;
  ++host_run_;
  // The first three axes own the first three channels; the encoder clips a count to its field.
  const HostBlock& e = ctx_.host().engine;
  // An entry a stop cut in hand may go out again whole, or as the rest of it.
  const auto cut = cut_ran_.find(serial);
  bool rest = cut != cut_ran_.end();
  for (size_t a = 0; a < 3 && rest; ++a) {
    int32_t want = std::clamp(steps_[serial - 1][a], -kMaxFieldSteps, kMaxFieldSteps);
    if (e.Get(engine::kAxisReversed[a])) want = -want;
    rest = s.steps[a] == want - cut->second[a];
  }
  if (cut != cut_ran_.end()) cut_ran_.erase(cut);
  if (rest) return;
  for (size_t a = 0; a < 3; ++a) {
    int32_t want = std::clamp(steps_[serial - 1][a], -kMaxFieldSteps, kMaxFieldSteps);
    if (e.Get(engine::kAxisReversed[a])) want = -want;
    if (s.steps[a] != want) {
      std::snprintf(text, sizeof text, "host entry %u ran %d steps on axis %zu; it asked for %d",
                    serial, s.steps[a], a, want);
      return Fail("intent", text);
    }
  }
}

void IntentBooks::ExcuseRunAgain(uint64_t tag) {
  if (IsHost(tag)) state_[(tag & kSerialMask) - 1] |= kMayRunAgain;
}

void IntentBooks::SnapshotRing() {
  snapshot_.clear();
  DeviceLink& link = ctx_.link();
  PacketRing& ring = link.send_ring();
  TrackTakes();
  for (int32_t i = 0, at = ring.read_index(); i < ring.count(); ++i, ++at) {
    if (ring.SlotAt(at)[0] != kOpMotionSegments) continue;
    const std::array<uint64_t, 7>& tags = slot_tags_[static_cast<size_t>(at & kSlotMask)];
    snapshot_.insert(snapshot_.end(), tags.begin(), tags.end());
  }
  if (const uint8_t* held = link.held_packet_for_test(); held && held[0] == kOpMotionSegments) {
    snapshot_.insert(snapshot_.end(), held_tags_.begin(), held_tags_.end());
  }
}

void IntentBooks::ExcuseSnapshot() {
  for (uint64_t tag : snapshot_) {
    if (IsHost(tag)) state_[(tag & kSerialMask) - 1] |= kExcused;
  }
  snapshot_.clear();
}

bool IntentBooks::SnapshotHoldsHostEntries() const {
  return std::any_of(snapshot_.begin(), snapshot_.end(), IsHost);
}

void IntentBooks::Excuse(const std::array<uint64_t, 7>& tags) {
  for (uint64_t tag : tags) {
    if (IsHost(tag)) state_[(tag & kSerialMask) - 1] |= kExcused;
  }
}

void IntentBooks::CheckAccounted() {
  Observe();
  for (size_t i = 0; i < state_.size() && !failed(); ++i) {
    const uint8_t st = state_[i];
    const auto serial = static_cast<uint32_t>(i + 1);
    if (st & (kRun | kDiscarded | kExcused)) continue;
    // Nor the other way: one that moves nothing may be taken for run.
    if ((st & kEncoded) && (st & kMovesNothing)) {
      ++repeated_pauses_;
      continue;
    }
    const std::array<int32_t, 6>& steps = steps_[i];
    // Streamed before a stop, or queued before a stop that threw the queue away.
    if ((st & kEncoded) ? serial <= closed_ : cuts_at_queue_[i] < cuts_) continue;
    // Streamed before a rewind that took a lying fill's word for how far the board had run.
    if ((st & kEncoded) && serial <= lie_floor_) {
      ++lie_losses_;
      continue;
    }
    char text[200];
    std::snprintf(text, sizeof text,
                  "host entry %u (of %zu, steps %d %d %d %d %d %d) never ran, and nothing "
                  "dropped it%s",
                  serial, state_.size(), steps[0], steps[1], steps[2], steps[3], steps[4], steps[5],
                  (st & kEncoded) ? " (it was streamed)" : "");
    Fail("intent", text);
  }
}

}  // namespace vaskel::chaos
