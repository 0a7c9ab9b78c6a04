// The board's status reply: queue fill, six channel counts and the input pin word, turned into
// the host's positions, the planner's need for data and the input scan.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "device/link.h"
#include "device/little_endian.h"
#include "host/truncate.h"
#include "platform/schedule_point.h"

namespace vaskel {
namespace {

// Two's-complement wrap-around, without signed overflow.
int32_t WrapAdd(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
int32_t WrapSub(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

// What a judgement looked for, and the counts a reply showed, as the log gives them.
std::string ExpectedAndFound(const std::string& expected, const std::array<int32_t, 6>& raw) {
  std::string found;
  for (const int32_t count : raw) {
    if (!found.empty()) found += ' ';
    found += std::to_string(count);
  }
  return "counts expected " + expected + ", found " + found;
}

}  // namespace

void DeviceLink::OnStatusThunk(void* user, const uint8_t* payload, size_t size) {
  static_cast<DeviceLink*>(user)->OnStatusReply(payload, size);
}

void DeviceLink::OnResyncBackupThunk(void* user, const uint8_t* payload, size_t size) {
  static_cast<DeviceLink*>(user)->OnStatusReply(payload, size, StatusRole::kResyncBackup);
}

void DeviceLink::OnAfterStopThunk(void* user, const uint8_t* payload, size_t size) {
  static_cast<DeviceLink*>(user)->OnStatusReply(payload, size, StatusRole::kAfterStop);
}

void DeviceLink::OnStatusReply(const uint8_t* payload, size_t size, StatusRole role) {
  // A reply too short to hold a status changes nothing. Any 16-bit fill is a status: the
  // rewind is masked and the room test signed, so none of them can do harm.
  if (size < kStatusPayloadSize) {
    rejected_replies_.fetch_add(1, std::memory_order_relaxed);
    stats_.OnReplyRejected();
    return;
  }
  uint32_t fill = 0;
  const uint8_t* p = ReadLittleEndian(payload, 2, fill);
  // The sender closed the link after this reply was read: it belongs to a board that is gone,
  // and must neither rewind the stream nor mark the closed link running.
  if (ReportPredatesClose()) {
    rejected_replies_.fetch_add(1, std::memory_order_relaxed);
    stats_.OnReplyRejected();
    return;
  }
  // The stand-in measurement, when the first one has done its work: it was taken before the
  // stop, so it must neither align nor stand as the board's fill. Its counts still show how
  // far the board ran at least before the stop, which a reset after the stop would hide.
  if (role == StatusRole::kResyncBackup && resync_request_.load(std::memory_order_acquire) == 0) {
    const size_t at = static_cast<uint32_t>(dispatching_sequence_) & (stops_at_request_.size() - 1);
    NoteRunBeforeStop(p, stops_at_request_[at].load(std::memory_order_acquire));
    return;
  }
  const size_t slot =
      static_cast<uint32_t>(dispatching_sequence_) & (delivered_at_request_.size() - 1);
  // Both measuring replies lost: the counts after the start-up stop settle the
  // resynchronisation, once the board can no longer be finishing the segment the stop found
  // it in. Nothing of this reply is kept.
  if (role == StatusRole::kAfterStop && !link_running() &&
      resync_request_.load(std::memory_order_acquire) != 0 && MayBeFinishingAfterStop(fill, slot)) {
    return;
  }
  const int32_t previous_fill = device_fill_.load(std::memory_order_acquire);
  const uint32_t now = services_.clock.TickCountMs();
  const uint32_t delivered_at_request = delivered_at_request_[slot].load(std::memory_order_acquire);
  const uint32_t stops_at_request = stops_at_request_[slot].load(std::memory_order_acquire);
  const uint32_t previous_delivered_at_fill =
      delivered_at_fill_.exchange(delivered_at_request, std::memory_order_acq_rel);
  std::array<int32_t, 6> raw{};
  for (size_t i = 0; i < 6; ++i) ReadLittleEndian(p + 4 * i, 4, raw[i]);
  const ReplyCounts seen = SeenReply(fill, raw, now);
  device_fill_.store(static_cast<int32_t>(fill), std::memory_order_release);
  stats_.OnStatusReply(now, static_cast<int32_t>(fill), p);

  // Read once: a close while this reply is handled must not turn it into an alignment.
  const bool running = link_running();
  uint32_t resync_request = resync_request_.load(std::memory_order_acquire);
  if (!running && resync_request != 0) {
    OnResyncReply(seen, role, previous_fill, previous_delivered_at_fill, resync_request);
    return;
  }

  // The rewind a measured resynchronisation owes is settled first, by the counts after the
  // start-up stop; the judgement of a reset goes on from the base that stop left.
  bool lost_on_settling = false;
  if (owed_rewind_.active && stops_at_request != owed_rewind_.stops) {
    if (MayBeFinishingAfterStop(fill, slot)) return;
    lost_on_settling = SettleOwedRewind(raw);
  }
  // A board that reset while the link stayed up (a watchdog, a brown-out too short for the
  // bus to notice) lost its queue and its counts: the program stops as after a reset across a
  // drop, and the board is configured again.
  std::string reset_seen;
  const bool board_reset = !lost_on_settling && BoardResetSeen(seen, reset_seen);
  if (lost_on_settling) counts_base_ = judge_.BaseFrom(seen);
  if (board_reset) {
    OnBoardLostPosition("the board's counts jumped while connected (" + reset_seen + ")");
    reconfigure_.store(true, std::memory_order_release);
  }

  const HostBlocks& host = services_.host;
  const std::array<int32_t, 6> counts = AxisCounts(raw);
  for (size_t i = 0; i < 6; ++i) board_count_[i].store(counts[i], std::memory_order_release);
  if (board_reset && running) {
    // The machine did not move with the counts: the positions stay where they were.
    position_lost_shown_ = false;
    for (size_t i = 0; i < 6; ++i) {
      const int32_t position = host.engine.Get(engine::kAxisPosition[i]);
      axis_offset_[i].store(WrapSub(position, counts[i]), std::memory_order_release);
    }
  }

  uint32_t inputs = 0;
  ReadLittleEndian(p + 4 * 6, 4, inputs);
  input_word_.store(inputs, std::memory_order_release);

  if (!running && !Align(counts)) return;
  NoteReversals();

  // Counts not yet borne out by a second reply do not move the DRO.
  const uint64_t sent_at_request = sent_at_request_[slot].load(std::memory_order_acquire);
  if (services_.client.PositionsFollowBoard(static_cast<int32_t>(fill), sent_at_request) &&
      !suspect_base_.known) {
    for (size_t i = 0; i < 6; ++i) {
      host.engine.Set(engine::kAxisPosition[i],
                      WrapAdd(counts[i], axis_offset(static_cast<int>(i))));
    }
  }

  const bool needs_data = static_cast<int32_t>(fill) < NeedsDataLimit();
  host.planner.Set(planner::kDeviceNeedsData, needs_data);
  stats_.OnNeedsData(now, needs_data);
  services_.client.OnInputWord();
  last_status_sequence_.store(dispatching_sequence_, std::memory_order_release);
}

std::array<int32_t, 6> DeviceLink::AxisCounts(const std::array<int32_t, 6>& raw) const {
  std::array<int32_t, 6> counts = raw;
  for (size_t i = 0; i < 6; ++i) {
    if (services_.host.engine.Get(engine::kAxisReversed[i])) counts[i] = WrapSub(0, counts[i]);
  }
  ApplyChannelMapping(counts);
  return counts;
}

bool DeviceLink::Align(const std::array<int32_t, 6>& counts) {
  // The host positions do not jump; from here on they move with the board. After a drop the
  // counts bore out, the positions move on with the board instead.
  const bool keep_offsets = std::exchange(keep_offsets_, false);
  for (size_t i = 0; i < 6 && !keep_offsets; ++i) {
    const int32_t position = services_.host.engine.Get(engine::kAxisPosition[i]);
    axis_offset_[i].store(WrapSub(position, counts[i]), std::memory_order_release);
  }
  aligned_ = true;
  link_running_.store(true);
  // A close that landed after the check above wins (both sides are sequentially consistent).
  if (ReportPredatesClose()) {
    link_running_.store(false);
    return false;
  }
  // The word that the position was lost stays up; "connected" would hide it.
  if (!std::exchange(position_lost_shown_, false)) services_.status.Raise(kMsgDeviceConnected);
  return true;
}

void DeviceLink::NoteReversals() {
  const HostBlock& engine = services_.host.engine;
  for (size_t i = 0; i < 6; ++i) {
    const uint8_t reversed = engine.Load<uint8_t>(engine::kAxisReversed[i].offset);
    if (reversed != reversal_seen_[i]) {
      reversal_seen_[i] = reversed;
      engine.Set(engine::kPositionsChanged, true);
    }
  }
}

int32_t DeviceLink::SentSinceBaseIfReadAfterStop(const ReplyCounts& seen) const {
  // After a stop that cleared the queue the board holds at most the segment it lets finish.
  if (seen.stops_now - seen.stops_at_request != 1 || !counts_base_.known || seen.fill > 1 ||
      !StopsSinceBaseCutNothing(seen.stops_at_request) || PowerUpCounts(seen.raw)) {
    return -1;
  }
  const uint32_t cut = books_.DeliveredAtStop(seen.stops_at_request + 1);
  const uint32_t sent_since = cut - counts_base_.consumed;
  if (seen.delivered_now != cut || sent_since >= kStepHistory) return -1;
  return RanSinceBase(sent_since, seen.raw) != kNoRun ? static_cast<int32_t>(sent_since) : -1;
}

bool DeviceLink::PowerUpCounts(const std::array<int32_t, 6>& raw) const {
  // Counts of 0 on every channel after a reconnection are a board that powered up: the stop is
  // not taken to have cut its way there. Unless the board stood at 0 with nothing to run when
  // this connection began: then a power-up lost nothing, and both read alike.
  const bool at_zero_and_rest =
      counts_base_.raw == std::array<int32_t, 6>{} && counts_base_.idle &&
      counts_base_.delivered == delivered_before_connection_.load(std::memory_order_acquire);
  return raw == std::array<int32_t, 6>{} && !at_zero_and_rest;
}

int32_t DeviceLink::SentSinceBaseIfQueueLost(const ReplyCounts& seen) const {
  // A board that lost its queue with the link holds no more than this connection wrote ahead
  // of its configuration, and its counts lie on the way it ran before the loss (or, after a
  // gap, part of that packet's way).
  const int32_t ahead = segments_before_configuration_.load(std::memory_order_acquire);
  if (ahead <= 0 || seen.fill > static_cast<uint32_t>(ahead) || !counts_base_.known ||
      !StopsSinceBaseCutNothing(seen.stops_at_request) || PowerUpCounts(seen.raw)) {
    return -1;
  }
  const uint32_t start = delivered_before_connection_.load(std::memory_order_acquire);
  const uint32_t sent_since = seen.delivered_now - counts_base_.consumed;
  const uint32_t old_part = start - counts_base_.consumed;
  if (sent_since >= kStepHistory || old_part == 0 || old_part > sent_since) return -1;
  const int32_t ran = RanByCounts(counts_base_.consumed, static_cast<int32_t>(old_part), seen.raw,
                                  RunTimeBeforeStop(counts_base_.seen_ms));
  return ran != kNoRun ? static_cast<int32_t>(sent_since) : -1;
}

bool DeviceLink::ReadAfterStopFits(const ReplyCounts& seen) const {
  // After the stop the board holds at most what was sent since, and the segment it lets finish.
  const uint32_t sent_after_stop = seen.delivered_now - books_.DeliveredAtStop(seen.stops_now);
  return seen.stops_now != seen.stops_at_request && counts_base_.known &&
         seen.fill <= sent_after_stop + 1 && !PowerUpCounts(seen.raw) &&
         judge_.Judge(counts_base_, seen, nullptr, nullptr) != CountsVerdict::kDisagree;
}

ReplyCounts DeviceLink::AsReadAfterStop(const ReplyCounts& seen) {
  // The stop emptied the board's queue: its counts stand at the end of all it was sent.
  ReplyCounts after = seen;
  after.stops_at_request = seen.stops_now;
  after.delivered_at_request = seen.delivered_now;
  after.fill = 0;
  return after;
}

bool DeviceLink::StopsSinceBaseCutNothing(uint32_t stops) const {
  // Stops that reached a board at rest, with nothing sent since the base, ended nothing: the
  // run since the base is measured across them as if they had not come.
  const uint32_t since = stops - counts_base_.stops;
  if (since == 0) return true;
  if (!counts_base_.idle || since > DeliveryBooks::kStopSlots / 2) return false;
  for (uint32_t k = counts_base_.stops + 1; k != stops + 1; ++k) {
    if (books_.DeliveredAtStop(k) != counts_base_.delivered) return false;
  }
  return true;
}

void DeviceLink::MeasureAfterStopOnly(const ReplyCounts& seen, uint32_t held_at_most,
                                      ResyncMeasure& m) const {
  // Both measuring replies lost, and the stop has cleared the board since: its counts are
  // final. When the board held nothing from before, and nothing but the start-up stop came
  // since the last counts, they show how much of the packet this connection wrote ahead of
  // its configuration the board ran before the stop came. Otherwise the counts could as well
  // be those of a board that ran it all and then reset.
  const uint32_t sent_since = seen.delivered_at_request - counts_base_.consumed;
  if (held_at_most != 0 || !counts_base_.known || seen.stops_at_request - counts_base_.stops != 1 ||
      sent_since >= kStepHistory) {
    m.lost = segments_before_configuration_.load(std::memory_order_acquire);
    m.measured = held_at_most == 0;
    return;
  }
  RunRange fits;
  const int32_t ran = RanSinceBase(sent_since, seen.raw, &fits);
  m.resume_unknown = ran == kRunsAmbiguous;
  m.lost_least = static_cast<int32_t>(sent_since) - fits.most;
  m.lost_most = static_cast<int32_t>(sent_since) - fits.least;
  if (ran == kNoRun) {
    m.mismatch = "no run of the " + std::to_string(sent_since) +
                 " segments sent since the last counts matches them";
  }
  m.lost = static_cast<int32_t>(sent_since) - std::max(ran, 0);
  m.after_stop_counted = ran >= 0 || m.resume_unknown;
}

bool DeviceLink::SettleLeftOverRewind(const ReplyCounts& seen, uint32_t resync_request) {
  // The last connection closed before the counts after its stop were final. When nothing was
  // sent since that stop, these counts are: they settle it.
  if (!owed_rewind_.active || settle_waits_ == 0 ||
      seen.stops_at_request != owed_rewind_.stops + 1 ||
      seen.delivered_now != books_.DeliveredAtStop(owed_rewind_.stops + 1)) {
    return false;
  }
  settle_waits_ = 0;
  if (!SettleOwedRewind(seen.raw)) return false;
  // Lost: the program is stopped; this connection aligns on what the board shows.
  resync_request_.compare_exchange_strong(resync_request, 0, std::memory_order_acq_rel);
  counts_base_ = judge_.BaseFrom(seen);
  suspect_base_.known = false;
  return true;
}

// The reply that measures a resynchronisation (`resync_request` names it): how much of what
// the board held it lost, and whether its counts still account for what it was sent.
void DeviceLink::OnResyncReply(const ReplyCounts& seen, StatusRole role, int32_t previous_fill,
                               uint32_t previous_delivered_at_fill, uint32_t resync_request) {
  const uint32_t fill = seen.fill;
  const uint32_t delivered_at_request = seen.delivered_at_request;
  const uint32_t stops_at_request = seen.stops_at_request;
  if (SettleLeftOverRewind(seen, resync_request)) return;
  ResyncMeasure m;
  m.lost = static_cast<int32_t>(fill);
  // The last connection closed before its stop showed how far the board ran: what it
  // measured then no longer tells what the board lost.
  const bool owed_unsettled = std::exchange(owed_rewind_.active, false);
  // Of what the board held when the link went down, only a bound is known: the last fill and
  // all delivered after its request.
  const uint32_t held_at_most =
      static_cast<uint32_t>(std::max(previous_fill, int32_t{0})) +
      (delivered_before_connection_.load(std::memory_order_acquire) - previous_delivered_at_fill);
  // An earlier connection's start-up stop reached the board while its measuring replies
  // were all lost: it cleared what the board held, so this fill no longer shows what was.
  const bool cleared_unmeasured =
      stop_cleared_unmeasured_.exchange(false, std::memory_order_acq_rel) &&
      role != StatusRole::kAfterStop;
  if (cleared_unmeasured && held_at_most != 0) {
    m.measured = false;
  } else if (role == StatusRole::kAfterStop) {
    MeasureAfterStopOnly(seen, held_at_most, m);
  }
  // A fill larger than all the board was sent since its last counts is a garbled reply,
  // not a measurement: taken at its word it would send most of the program again.
  const uint32_t sent_since_counts = delivered_at_request - counts_base_.consumed;
  if (m.measured && counts_base_.known && fill > sent_since_counts) {
    m.mismatch = "a fill of " + std::to_string(fill) + ", more than the " +
                 std::to_string(sent_since_counts) + " segments sent since its counts";
  }
  m.measured = m.measured && !owed_unsettled;
  m.owed_unsettled = owed_unsettled;
  m.dropped = segments_dropped_for_resync_.exchange(0, std::memory_order_acq_rel);
  // Measured: the board's counts must still account for what it was sent, or it reset (or
  // its counts jumped) and what it ran is not known. After the start-up stop they must lie
  // where that stop may have cut the board's way.
  CountsVerdict verdict = m.after_stop_counted ? CountsVerdict::kAgree : CountsVerdict::kDisagree;
  const bool based = counts_base_.known;
  CountsBase next;
  // A measuring reply is read as composed before the start-up stop; read after it, by a
  // board that composes its replies late, its counts are those the stop left.
  ReplyCounts before_stop = seen;
  if (role != StatusRole::kAfterStop) before_stop.stops_now = stops_at_request;
  std::string mismatch = !m.measured            ? std::string()
                         : !m.mismatch.empty()  ? m.mismatch
                         : m.after_stop_counted ? std::string()
                                                : CountsMismatch(before_stop, verdict, next);
  if (!mismatch.empty() && m.mismatch.empty() && role != StatusRole::kAfterStop) {
    ReadMismatchAfterStop(seen, mismatch, verdict, m);
  }
  const bool verified = verdict == CountsVerdict::kAgree;
  // Counts that account for every step, or that lie within the bounds stops since the last
  // ones leave: the board ran on through the drop, and the DRO goes on from where it was
  // rather than being aligned to a position the board has left unseen. Counts with no base
  // to judge them against, or no alignment yet to have set the offsets, leave the DRO where
  // it is.
  keep_offsets_ = aligned_ && mismatch.empty() &&
                  (verified || (verdict == CountsVerdict::kCannotTell && based));
  ActOnResyncMeasure(seen, role, mismatch, m);
  // Counts read after the stop are settled against the base before it.
  if (m.read_after_stop) {
    counts_base_ = judge_.BaseFrom(AsReadAfterStop(seen));
  } else if (!m.settled_after_stop) {
    counts_base_ = verified && next.known ? next : judge_.BaseFrom(seen);
  }
  suspect_base_.known = false;
  // Only the request this reply answers is consumed; one made by a close since then stays
  // for the next connection.
  VASKEL_SCHEDULE_POINT(services_.workers, "status reply: resync measured");
  resync_request_.compare_exchange_strong(resync_request, 0, std::memory_order_acq_rel);
  stats_.OnResync();
  // The count a rewind may reach back through starts again once the rewind is done.
  if (!owed_rewind_.active) services_.client.ResetSegmentsSent();
}

void DeviceLink::ReadMismatchAfterStop(const ReplyCounts& seen, std::string& mismatch,
                                       CountsVerdict& verdict, ResyncMeasure& m) const {
  int32_t sent_since = SentSinceBaseIfReadAfterStop(seen);
  if (sent_since < 0) sent_since = SentSinceBaseIfQueueLost(seen);
  if (sent_since >= 0) {
    mismatch.clear();
    verdict = CountsVerdict::kCannotTell;
    m.settled_after_stop = true;
    m.lost = sent_since;
  } else if (ReadAfterStopFits(seen)) {
    // Read after the stop, across stops since the base that cut the board's way: the counts
    // lie where those stops may have left it, so the positions hold, but no one run of what
    // it held tells where the program stood.
    mismatch.clear();
    verdict = CountsVerdict::kCannotTell;
    m.resume_unknown = true;
    m.read_after_stop = true;
  }
}

void DeviceLink::ActOnResyncMeasure(const ReplyCounts& seen, StatusRole role,
                                    const std::string& mismatch, const ResyncMeasure& m) {
  if (!mismatch.empty()) {
    OnBoardLostPosition("the board's counts do not account for the steps written to it (" +
                        mismatch + ")");
  } else if (m.resume_unknown && m.read_after_stop) {
    // Of what was streamed since the last stop, any part may have run.
    OnResumeUnknown(
        "the board's counts, read after the start-up stop, lie where the stops "
        "since the last counts may have left it, but no one run of what it held "
        "reaches them",
        m.dropped, kLostSinceLastStop);
  } else if (m.resume_unknown) {
    OnResumeUnknown("the board's counts after the start-up stop fit more than one run of the " +
                        std::to_string(m.lost) +
                        " segments sent since the last counts, or one cut "
                        "inside a segment",
                    m.lost_least + m.dropped, m.lost_most + m.dropped);
  } else if (m.settled_after_stop) {
    // Read after the stop: what the board ran of what was sent since the last counts, the
    // counts tell once the board can no longer be finishing a segment the stop let run.
    // The run is the base's: the board ran from where that reply found it.
    owed_rewind_ = {true,
                    m.lost,
                    m.dropped,
                    counts_base_.seen_ms,
                    counts_base_.consumed,
                    seen.stops_at_request};
    owed_rewind_.read_after_stop = true;
  } else if (m.measured && role != StatusRole::kAfterStop) {
    // The board runs on until the start-up stop reaches it, several writes behind this
    // request: how much of what it held it ran by then, the counts after the stop show.
    // A fill may leave out the segment in hand: the run is measured from the segment before
    // the fill's, so that one may turn out run or not.
    const uint32_t consumed = seen.delivered_at_request - seen.fill;
    const int32_t in_hand = consumed != 0 ? 1 : 0;
    owed_rewind_ = {true,
                    m.lost + in_hand,
                    m.dropped,
                    seen.now_ms,
                    consumed - static_cast<uint32_t>(in_hand),
                    seen.stops_at_request};
    owed_rewind_.in_hand = in_hand;
  } else if (m.measured) {
    RewindSelectedSource(m.lost + m.dropped);  // taken after the stop: nothing ran since
  } else {
    unmeasured_resyncs_.fetch_add(1, std::memory_order_relaxed);
    stats_.OnUnmeasuredResync();
    OnPositionLost(m.owed_unsettled
                       ? "the link closed again before the board's counts after its stop "
                         "came back"
                       : "every measuring reply of a resynchronisation was lost");
  }
}

int32_t DeviceLink::RanSinceBase(uint32_t sent_since, const std::array<int32_t, 6>& raw,
                                 RunRange* fits) const {
  return RanByCounts(counts_base_.consumed, static_cast<int32_t>(sent_since), raw,
                     RunTimeBeforeStop(counts_base_.seen_ms), 0, 0, fits);
}

bool DeviceLink::CountsAfterRun(uint32_t from, int32_t ran, const std::array<int32_t, 6>& raw,
                                bool guessed) const {
  return judge_.CountsAt(counts_base_, from + static_cast<uint32_t>(ran), raw, false, guessed);
}

// How many of the `held` segments delivered after the board had consumed `from` it ran, by the
// counts in `raw`; kNoRun when no run accounts for them, kRunsAmbiguous when several do and
// the counts cannot tell which. Runs that differ only by segments that move nothing (or moves
// that cancel out) leave the same counts: the board ran at most one segment a period in
// `elapsed_ms`, so the longest such run within that wins, and past it the shortest. The
// guessed anchor is tried first; the anchor's bounds only when it fits no run.
int32_t DeviceLink::RanByCounts(uint32_t from, int32_t held, const std::array<int32_t, 6>& raw,
                                uint32_t elapsed_ms, int32_t least, int32_t ahead,
                                RunRange* fits) const {
  const int32_t longest = std::min<int32_t>(held, kStepHistory - 1);
  const double period_ms = SegmentPeriod() * 1000.0;
  const double by_time = static_cast<double>(elapsed_ms) / period_ms + 2.0 + ahead;
  const int32_t within =
      by_time < static_cast<double>(longest) ? static_cast<int32_t>(by_time) : longest;
  const auto ambiguous = [&] {
    if (fits != nullptr) *fits = RunsThatFit(from, least, longest, raw);
    return kRunsAmbiguous;
  };
  // Of a run with a gap, any part of what was held may have run.
  const auto gapped = [&] {
    if (fits != nullptr) *fits = {0, longest};
    return kRunsAmbiguous;
  };
  const auto first_match = [&](bool guessed) {
    for (int32_t ran = within; ran >= least; --ran) {
      if (CountsAfterRun(from, ran, raw, guessed)) return ran;
    }
    for (int32_t ran = std::max(within + 1, least); ran <= longest; ++ran) {
      if (CountsAfterRun(from, ran, raw, guessed)) return ran;
    }
    return kNoRun;
  };
  // A board seen to compose each reply as it takes the request, count each segment whole at
  // its end and its fill with the segment in hand has an exact anchor: the guess.
  if (!board_habits_seen_) {
    const int32_t guessed = first_match(true);
    if (guessed != kNoRun) return GappedRunFits(from, raw) ? gapped() : guessed;
  }
  const int32_t found = first_match(false);
  if (found != kNoRun) {
    // Within the anchor's bounds, runs whose counts differ may fit alike, and a board that
    // counts a segment out as it runs may stand inside one next to the run found, where a
    // stop cut it: then the counts cannot tell which segments ran.
    for (int32_t ran = least; ran <= longest; ++ran) {
      if (ran != found && CountsAfterRun(from, ran, raw, false) && !SameCounts(from, ran, found)) {
        return ambiguous();
      }
    }
    for (const int32_t next_to : {found - 1, found}) {
      if (next_to < least || next_to >= longest) continue;
      for (size_t c = 0; c < 6; ++c) {
        const uint32_t k = from + static_cast<uint32_t>(next_to);
        const bool moves = books_.StepsBefore(k, c) != books_.StepsBefore(k + 1, c);
        if (moves && counts_base_.width[c] != 0 && (counts_base_.channels >> c & 1u) != 0) {
          return ambiguous();
        }
      }
    }
    if (GappedRunFits(from, raw)) return gapped();
    return found;
  }
  // A stop that cut the segment in hand leaves the board inside it: its counts are good, but
  // no whole run of segments ends there.
  for (int32_t ran = least; ran < longest; ++ran) {
    if (judge_.CountsAt(counts_base_, from + static_cast<uint32_t>(ran), raw, true)) {
      return ambiguous();
    }
  }
  if (GappedRunFits(from, raw)) return gapped();
  return kNoRun;
}

bool DeviceLink::GappedRunFits(uint32_t from, const std::array<int32_t, 6>& raw) const {
  // A board that lost its queue with the link ran what this connection wrote ahead of its
  // configuration after a gap: the stream up to some point, then the first segments of that
  // packet. A gap of segments that move nothing (or whose moves cancel out) changes nothing.
  // The least run an earlier reply bore out was read without a gap: it bounds nothing here.
  const uint32_t start = delivered_before_connection_.load(std::memory_order_acquire);
  const int32_t ahead = segments_before_configuration_.load(std::memory_order_acquire);
  const auto old_part = static_cast<int32_t>(start - from);
  if (ahead <= 0 || old_part <= 0 || old_part >= static_cast<int32_t>(kStepHistory)) return false;
  for (int32_t ran_new = 1; ran_new <= ahead; ++ran_new) {
    std::array<int32_t, 6> before_gap = raw;
    for (size_t c = 0; c < 6; ++c) {
      before_gap[c] =
          static_cast<int32_t>(static_cast<uint32_t>(raw[c]) -
                               (books_.StepsBefore(start + static_cast<uint32_t>(ran_new), c) -
                                books_.StepsBefore(start, c)));
    }
    for (int32_t ran_old = 0; ran_old < old_part; ++ran_old) {
      if (SameCounts(from, ran_old, old_part)) continue;
      if (judge_.CountsAt(counts_base_, from + static_cast<uint32_t>(ran_old), before_gap, false)) {
        return true;
      }
    }
  }
  return false;
}

DeviceLink::RunRange DeviceLink::RunsThatFit(uint32_t from, int32_t least, int32_t longest,
                                             const std::array<int32_t, 6>& raw) const {
  // Whole runs, and runs that end inside the next segment (a stop cut it there).
  RunRange range;
  for (int32_t ran = least; ran <= longest; ++ran) {
    const bool inside = ran < longest &&
                        judge_.CountsAt(counts_base_, from + static_cast<uint32_t>(ran), raw, true);
    if (!inside && !CountsAfterRun(from, ran, raw, false)) continue;
    if (range.least == kNoRun) range.least = ran;
    range.most = ran;
  }
  return range;
}

bool DeviceLink::SameCounts(uint32_t from, int32_t a, int32_t b) const {
  for (size_t c = 0; c < 6; ++c) {
    if (books_.StepsBefore(from + static_cast<uint32_t>(a), c) !=
        books_.StepsBefore(from + static_cast<uint32_t>(b), c)) {
      return false;
    }
  }
  return true;
}

void DeviceLink::NoteRunBeforeStop(const uint8_t* counts, uint32_t stops_at_request) {
  if (!owed_rewind_.active || !counts_base_.known || stops_at_request != owed_rewind_.stops) return;
  std::array<int32_t, 6> raw{};
  for (size_t i = 0; i < 6; ++i) ReadLittleEndian(counts + 4 * i, 4, raw[i]);
  // The shortest run its counts bear out: moves that leave the counts where they were may as
  // well not have run yet. Counts that match none prove nothing here (a garbled reply); the
  // counts after the stop are judged as before.
  const int32_t longest = std::min<int32_t>(owed_rewind_.held, kStepHistory - 1);
  for (int32_t ran = owed_rewind_.least_ran; ran <= longest; ++ran) {
    if (CountsAfterRun(owed_rewind_.consumed, ran, raw, true)) {
      owed_rewind_.least_ran = ran;
      return;
    }
  }
  // By the anchor's bounds: the first segment the counts may lie in or at the start of.
  for (int32_t ran = owed_rewind_.least_ran; ran <= longest; ++ran) {
    if (judge_.CountsAt(counts_base_, owed_rewind_.consumed + static_cast<uint32_t>(ran), raw,
                        ran < longest)) {
      owed_rewind_.least_ran = ran;
      return;
    }
  }
}

bool DeviceLink::CountsFitPowerUp(const std::array<int32_t, 6>& raw) const {
  // A board that lost power comes back with counts of 0 and runs what this connection sent it.
  const uint32_t start = delivered_before_connection_.load(std::memory_order_acquire);
  const uint32_t end = segments_upper_.load(std::memory_order_acquire);
  if (end - start >= kStepHistory / 2) return false;
  const uint8_t channels = ReadChannels();
  for (uint32_t k = start; k != end + 1; ++k) {
    bool fits = true;
    for (size_t c = 0; c < 6 && fits; ++c) {
      if ((channels >> c & 1u) == 0) continue;
      const auto at = static_cast<int64_t>(
          static_cast<int32_t>(books_.StepsBefore(k, c) - books_.StepsBefore(start, c)));
      int64_t to = at;
      if (k != end) {
        to = static_cast<int32_t>(books_.StepsBefore(k + 1, c) - books_.StepsBefore(start, c));
      }
      fits = raw[c] >= std::min(at, to) && raw[c] <= std::max(at, to);
    }
    if (fits) return true;
  }
  return false;
}

uint32_t DeviceLink::RunTimeBeforeStop(uint32_t measured_ms) const {
  // The board runs until the stop reaches it, not until its counts are read again.
  const uint32_t now = services_.clock.TickCountMs();
  const uint32_t stop_ms = last_stop_tick_ms_.load(std::memory_order_acquire);
  const auto to_stop = static_cast<int32_t>(stop_ms - measured_ms);
  return to_stop >= 0 && static_cast<int32_t>(now - stop_ms) >= 0 ? static_cast<uint32_t>(to_stop)
                                                                  : now - measured_ms;
}

bool DeviceLink::MayBeFinishingAfterStop(uint32_t fill, size_t slot) {
  // A stop may let the segment in hand finish: while the request may have reached the board
  // within that segment's time after the stop, and the board shows at most that one segment
  // held, its counts may not be final yet. It is asked again at the next Update.
  const uint32_t stop_age = stop_age_at_request_[slot].load(std::memory_order_acquire);
  if (fill > 1 || stop_age >= kFinishAfterStopMs || settle_waits_ >= kSettleWaits) {
    settle_waits_ = 0;
    return false;
  }
  ++settle_waits_;
  ask_again_.store(true, std::memory_order_release);
  return true;
}

bool DeviceLink::SettleOwedRewind(const std::array<int32_t, 6>& raw) {
  const OwedRewind owed = std::exchange(owed_rewind_, {});
  // A board that reset after the stop shows counts of a run shorter than one seen before it.
  RunRange fits;
  const int32_t ran = counts_base_.known ? RanByCounts(owed.consumed, owed.held, raw,
                                                       RunTimeBeforeStop(owed.measured_ms),
                                                       owed.least_ran, owed.in_hand, &fits)
                                         : -1;
  if (ran >= 0) {
    RewindSelectedSource(owed.held - ran + owed.dropped);
    services_.client.ResetSegmentsSent();
    return false;
  }
  // Counts that only a reply composed after the stop accounts for, and then for more than one
  // run, are as well those of a board that lost power across the drop and ran on from 0.
  if (ran == kRunsAmbiguous && !(owed.read_after_stop && CountsFitPowerUp(raw))) {
    OnResumeUnknown("the board's counts after the start-up stop fit more than one run of the " +
                        std::to_string(owed.held) +
                        " segments it held, or one cut inside a segment",
                    owed.held - fits.most + owed.dropped, owed.held - fits.least + owed.dropped);
    services_.client.ResetSegmentsSent();
    return false;
  }
  services_.client.ResetSegmentsSent();
  keep_offsets_ = false;
  OnBoardLostPosition("the board's counts after the start-up stop match " +
                      std::string(ran == kRunsAmbiguous ? "more than one run, read after the "
                                                          "stop, of the "
                                                        : "no run of the ") +
                      std::to_string(owed.held) + " segments it held");
  return true;
}

ReplyCounts DeviceLink::SeenReply(uint32_t fill, const std::array<int32_t, 6>& raw, uint32_t now) {
  const size_t slot =
      static_cast<uint32_t>(dispatching_sequence_) & (delivered_at_request_.size() - 1);
  ReplyCounts reply;
  reply.raw = raw;
  reply.fill = fill;
  reply.delivered_at_request = delivered_at_request_[slot].load(std::memory_order_acquire);
  reply.stops_at_request = stops_at_request_[slot].load(std::memory_order_acquire);
  // A reply may have been composed as late as it was read: anything delivered by now.
  reply.stops_now = stops_upper_.load(std::memory_order_acquire);
  reply.delivered_now = segments_upper_.load(std::memory_order_acquire);
  reply.channels = ReadChannels();
  // A channel whose count has ever moved is one the board counts.
  for (size_t c = 0; c < 6; ++c) {
    if (counts_seen_ && raw[c] != last_raw_[c]) counting_channels_ |= static_cast<uint8_t>(1u << c);
  }
  reply.counting = counting_channels_;
  last_raw_ = raw;
  counts_seen_ = true;
  reply.now_ms = now;
  return reply;
}

uint8_t DeviceLink::ReadChannels() const {
  // The positions read channels 0..3 always, channel 4 once axis 3 is enabled, and channel 5
  // only with axis 3 enabled and axes 4 and 5 both disabled.
  const HostBlock& engine = services_.host.engine;
  uint8_t channels = 0x0f;
  if (engine.Get(engine::kAxisEnabled[3])) {
    channels |= 0x10;
    if (!engine.Get(engine::kAxisEnabled[4]) && !engine.Get(engine::kAxisEnabled[5])) {
      channels |= 0x20;
    }
  }
  return channels;
}

std::string DeviceLink::CountsMismatch(const ReplyCounts& reply, CountsVerdict& verdict,
                                       CountsBase& next) {
  std::string expected;
  verdict = judge_.Judge(counts_base_, reply, &expected, &next);
  // Counts the board moved by itself at rest are followed.
  if (verdict == CountsVerdict::kAtRest) verdict = CountsVerdict::kCannotTell;
  if (verdict != CountsVerdict::kDisagree) return {};
  return ExpectedAndFound(expected, reply.raw);
}

bool DeviceLink::BoardResetSeen(const ReplyCounts& reply, std::string& why) {
  std::string expected;
  CountsBase next;
  const CountsVerdict verdict = judge_counts_ ? judge_.Judge(counts_base_, reply, &expected, &next)
                                              : CountsVerdict::kCannotTell;
  const bool bears_out_suspect =
      suspect_base_.known &&
      judge_.Judge(suspect_base_, reply, nullptr, nullptr) == CountsVerdict::kAgree;
  switch (verdict) {
    case CountsVerdict::kOlder:
      return false;
    case CountsVerdict::kAgree:
      NoteBoardHabits(reply);
      [[fallthrough]];
    case CountsVerdict::kCannotTell:
    case CountsVerdict::kAtRest:
      counts_base_ = verdict == CountsVerdict::kAgree && next.known ? next : judge_.BaseFrom(reply);
      suspect_base_.known = false;
      return false;
    case CountsVerdict::kDisagree:
      break;
  }
  // A garbled or misdelivered reply disagrees once; a board that reset goes on from its new
  // counts, and the next reply bears them out.
  if (!bears_out_suspect) {
    suspect_base_ = judge_.BaseFrom(reply);
    return false;
  }
  why = ExpectedAndFound(expected, reply.raw);
  counts_base_ = judge_.BaseFrom(reply);
  suspect_base_.known = false;
  return true;
}

void DeviceLink::OnResumeUnknown(const std::string& why, int32_t lost_least, int32_t lost_most) {
  // A take-up made on one of the runs the counts fit and not on another leaves the tool on a
  // side of its play no count tells: as after an abort that cut one, its axis is taken to
  // stand as before it, and the DRO meets the tool again within the play at its next move.
  std::string what = why;
  if (!services_.client.SettleTakeUps(lost_least, lost_most)) {
    resume_unknown_play_.fetch_add(1, std::memory_order_relaxed);
    what += "; a backlash take-up among them may have run or not, and is taken as not run";
  }
  // The counts, and so the positions, are good: no axis loses its reference. The program
  // cannot go on exactly where the board left it, so it stops.
  resume_unknown_stops_.fetch_add(1, std::memory_order_relaxed);
  services_.client.StopProgram();
  services_.status.SetStatusText(kResumeUnknownText);
  position_lost_shown_ = true;
  if (services_.log.enabled()) {
    services_.log.Write("vaskel: " + what + "; the host's program was stopped, the positions kept");
  }
}

void DeviceLink::NoteBoardHabits(const ReplyCounts& reply) {
  // A board that composes its reply as it takes the request, counts each segment whole at its
  // end and its fill with the segment in hand shows its counts exactly where the base's guess
  // and the fill put them, reply after reply; any other habit shows once in a while.
  if (board_habits_seen_ || reply.stops_at_request != counts_base_.stops ||
      reply.stops_now != reply.stops_at_request) {
    return;
  }
  const uint32_t consumed = reply.delivered_at_request - reply.fill;
  if (!judge_.CountsAt(counts_base_, consumed, reply.raw, false, true)) board_habits_seen_ = true;
}

void DeviceLink::OnBoardLostPosition(const std::string& why) {
  position_lost_resyncs_.fetch_add(1, std::memory_order_relaxed);
  OnPositionLost(why, kBoardLostPositionText);
}

void DeviceLink::OnPositionLost(const std::string& why, std::string_view text) {
  // Not rewound by a guess: the program that stream carried stops instead, and no axis keeps a
  // reference the board may have run away from.
  services_.client.StopProgram();
  for (size_t i = 0; i < 6; ++i) services_.host.engine.Set(engine::kAxisReferenced[i], false);
  services_.status.SetStatusText(text);
  position_lost_shown_ = true;
  if (services_.log.enabled()) {
    services_.log.Write("vaskel: " + why +
                        "; the host's program was stopped and the axes lost their reference");
  }
}

void DeviceLink::ApplyChannelMapping(std::array<int32_t, 6>& counts) const {
  const HostBlock& engine = services_.host.engine;
  const int32_t c3 = counts[3], c4 = counts[4], c5 = counts[5];
  if (!engine.Get(engine::kAxisEnabled[3])) {
    counts = {counts[0], counts[1], counts[2], c3, c3, c3};
  } else if (engine.Get(engine::kAxisEnabled[4])) {
    counts[4] = c4;
    counts[5] = 0;
  } else if (engine.Get(engine::kAxisEnabled[5])) {
    counts[4] = 0;
    counts[5] = c4;
  } else {
    counts[4] = c4;
    counts[5] = c5;
  }
}

double DeviceLink::SegmentPeriod() const {
  const double period = services_.host.planner.Get(planner::kSegmentPeriod);
  // A period the host never set (or spoilt) would divide by zero; the plug-in's own applies.
  return period > 0.0 && std::isfinite(period) ? period : kDefaultSegmentPeriod;
}

int32_t DeviceLink::NeedsDataLimit() const {
  const double buffer = services_.device_buffer_ms.load(std::memory_order_relaxed);
  return TruncToInt32(buffer / (1000.0 * SegmentPeriod()));
}

}  // namespace vaskel
