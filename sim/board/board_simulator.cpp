#include "sim/board/board_simulator.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

namespace vaskel::sim {
namespace {

int32_t Le32(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                              static_cast<uint32_t>(p[2]) << 16 |
                              static_cast<uint32_t>(p[3]) << 24);
}
uint16_t Le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

using SteadyClock = std::chrono::steady_clock;

// Waits on cv for at most `slice`, but never past the caller's deadline (none when the
// caller's time-out is negative). False when the deadline has passed.
bool WaitSlice(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
               std::chrono::milliseconds slice, int timeout_ms, SteadyClock::time_point deadline) {
  if (timeout_ms == 0) return false;
  if (timeout_ms > 0) {
    const auto now = SteadyClock::now();
    if (now >= deadline) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    slice = std::min(slice, left + std::chrono::milliseconds(1));
  }
  cv.wait_for(lock, slice);
  return true;
}

}  // namespace

std::string DescribeHabits(const BoardHabits& h) {
  std::string text;
  char part[160];
  const auto add = [&](const char* what) {
    text += (text.empty() ? "" : ", ") + std::string(what);
  };
  if (h.compose_late_max_ms != 0) {
    std::snprintf(part, sizeof part, "replies composed up to %u ms late (seed %llu)",
                  h.compose_late_max_ms, static_cast<unsigned long long>(h.compose_seed));
    add(part);
  }
  if (h.fill_excludes_in_hand) add("fill without the segment in hand");
  if (h.counts_step_through) {
    int n = std::snprintf(part, sizeof part, "counts step through at rates");
    for (double r : h.step_rates) n += std::snprintf(part + n, sizeof part - n, " %.3f", r);
    add(part);
  }
  if (h.stop_finishes_in_hand) add("a stop finishes the segment in hand");
  if (h.counted_channels != 0x3f) {
    std::snprintf(part, sizeof part, "channels %#04x counted", h.counted_channels);
    add(part);
  }
  if (h.sync_first) add("sync replies first");
  if (h.clock_ppm != 0) {
    std::snprintf(part, sizeof part, "clock %+d ppm", h.clock_ppm);
    add(part);
  }
  return text.empty() ? "none" : text;
}

BoardSimulator::BoardSimulator(Clock& clock, BoardOptions options)
    : clock_(clock),
      capacity_(options.queue_capacity),
      segment_ms_(std::max<uint32_t>(1, options.segment_ms)),
      reply_wire_ms_(options.reply_wire_ms),
      habits_(options.habits),
      compose_state_(options.habits.compose_seed),
      machine_(std::move(options.machine)),
      last_ms_(clock.TickCountMs()) {
  segment_us_ = SegmentUs(segment_ms_);
}

uint32_t BoardSimulator::SegmentUs(uint32_t ms) const {
  const int64_t us = int64_t{ms} * (1000000 + int64_t{habits_.clock_ppm}) / 1000;
  return static_cast<uint32_t>(std::max<int64_t>(1, us));
}

uint32_t BoardSimulator::Write(const uint8_t* report, size_t length) {
  std::lock_guard lock(mutex_);
  AdvanceLocked();
  if (!plugged_) return hid_error::kDeviceNotConnected;
  if (stalled_) {
    ++stats_.writes_stalled;
    return hid_error::kIoPending;
  }
  if (refuse_count_ != 0) {
    if (refuse_count_ > 0) --refuse_count_;
    ++stats_.writes_refused;
    return refuse_code_;
  }
  if (report == nullptr || length != kReportSize || report[0] != 0) {
    ++stats_.malformed;
    return hid_error::kNone;
  }
  HandlePacketLocked(report + 1);
  changed_.notify_all();
  return hid_error::kNone;
}

void BoardSimulator::HandlePacketLocked(const uint8_t* p) {
  const uint8_t op = p[0];
  const int32_t value = Le32(p + 1);
  switch (op) {
    case kOpConfigCommit:
    case kOpConfigReset:
    case kOpConfigOptionB:
    case kOpSetStepClock:
    case kOpSetPeriodTicks:
    case kOpConfigOptionA:
      config_[op] = value;
      break;
    case kOpStopMotion:
      config_[op] = value;
      if (habits_.stop_finishes_in_hand && !queue_.empty()) {
        // The segment in hand runs on to its end, alone.
        const ChannelSteps in_hand = queue_.front();
        const uint64_t tag = tags_.front();
        queue_.pop_front();
        tags_.pop_front();
        DropQueueLocked(stats_.steps_stopped, SegmentFate::kStopped);
        queue_.push_back(in_hand);
        tags_.push_back(tag);
        // It ran on as part of the run the stop ended: its record says so.
        if (!finishing_after_stop_) finishing_stops_ = stats_.packets[kOpStopMotion];
        finishing_after_stop_ = true;
      } else {
        CutInHandLocked(stats_.steps_stopped, SegmentFate::kStopped);
        DropQueueLocked(stats_.steps_stopped, SegmentFate::kStopped);
        credit_us_ = 0;
      }
      moved_since_stop_ = idle_since_move_ = false;
      break;
    case kOpMotionSegments:
      for (int k = 0; k < kSegmentsPerPacket; ++k) {
        ++stats_.segments_received;
        if (queue_.size() >= capacity_) {
          ++stats_.segments_lost;
          ++segments_left_;
          if (keep_executed_) {
            executed_.push_back({next_tags_[static_cast<size_t>(k)],
                                 DecodeSegment(p + 1 + kSegmentBytes * k),
                                 SegmentFate::kOverflowed,
                                 {},
                                 stats_.packets[kOpStopMotion]});
          }
          continue;
        }
        queue_.push_back(DecodeSegment(p + 1 + kSegmentBytes * k));
        tags_.push_back(next_tags_[static_cast<size_t>(k)]);
      }
      next_tags_ = {};
      stats_.highest_fill = std::max(stats_.highest_fill, queue_.size());
      break;
    case kOpStatusRequest:
      AnswerStatusRequestLocked(p);
      break;
    case kOpSyncQueryA:
    case kOpSyncQueryB: {
      // The value is the query's own sequence number; the echo carries it back whole.
      Reply reply{};
      Put16(&reply.bytes[1], static_cast<uint16_t>(value));
      Put32(&reply.bytes[3], static_cast<uint32_t>(value));
      reply.bytes[7] = op;
      reply.sync = true;
      QueueReplyLocked(reply);
      break;
    }
    default:
      ++stats_.malformed;
      return;
  }
  ++stats_.packets[op];
  if (log_.size() == kPacketLogSize) log_.pop_front();
  log_.push_back({op, value});
}

void BoardSimulator::AnswerStatusRequestLocked(const uint8_t* p) {
  StatusRequestRecord r;
  r.sequence = Le16(p + 1);
  r.output_word = static_cast<uint32_t>(Le32(p + 3));
  r.spindle = Le16(p + 7);
  r.axis_mask = static_cast<uint32_t>(Le32(p + 9));
  last_status_ = r;
  Reply reply{};
  Put16(&reply.bytes[1], r.sequence);
  reply.composed = false;
  reply.compose_ms = clock_.TickCountMs();
  if (habits_.compose_late_max_ms != 0) {
    // SplitMix64, so that a seed gives the same delays everywhere.
    uint64_t z = (compose_state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    reply.compose_ms += static_cast<uint32_t>(z % (uint64_t{habits_.compose_late_max_ms} + 1));
    // Replies go out in order: none is composed before the one ahead of it.
    if (replies_.size() != 0 && static_cast<int32_t>(last_compose_ms_ - reply.compose_ms) > 0) {
      reply.compose_ms = last_compose_ms_;
    }
  }
  last_compose_ms_ = reply.compose_ms;
  if (habits_.compose_late_max_ms == 0) ComposeLocked(reply);
  QueueReplyLocked(reply);
}

void BoardSimulator::QueueReplyLocked(Reply reply) {
  if (drop_count_ != 0) {
    if (drop_count_ > 0) --drop_count_;
    ++stats_.replies_dropped;
    return;
  }
  reply.delay_ms = reply_wire_ms_ + reply_delay_ms_;
  reply.due_ms = (reply.composed ? clock_.TickCountMs() : reply.compose_ms) + reply.delay_ms;
  ++stats_.replies_queued;
  if (reply.sync && habits_.sync_first) {
    // Ahead of the status replies behind the last sync reply still queued.
    auto at = replies_.end();
    while (at != replies_.begin() && !std::prev(at)->sync) --at;
    replies_.insert(at, reply);
    return;
  }
  replies_.push_back(reply);
}

void BoardSimulator::ComposeLocked(Reply& reply) {
  const size_t held = queue_.size();
  const size_t fill = habits_.fill_excludes_in_hand && held != 0 ? held - 1 : held;
  const ChannelSteps counts = ReportedCountsLocked();
  Put16(&reply.bytes[3], static_cast<uint16_t>(std::min<size_t>(fill, 0xffff)));
  for (int c = 0; c < kChannels; ++c)
    Put32(&reply.bytes[5 + 4 * c], static_cast<uint32_t>(counts[c]));
  Put32(&reply.bytes[29], InputWordLocked());
  if (status_log_.size() == 256) status_log_.pop_front();
  StatusSnapshot snapshot;
  snapshot.sequence = Le16(&reply.bytes[1]);
  snapshot.last_moving_tag = last_moving_tag_;
  snapshot.fill = held;
  snapshot.reported_fill = fill;
  snapshot.tool = tool_;
  snapshot.dropped_since_moving = dropped_since_moving_;
  // Counts that show the segment in hand moving show the board on its way through it: the
  // last segment that moved is that one, and the tools stand where its steps so far put them.
  const ChannelSteps part = InHandLocked();
  if (std::any_of(part.begin(), part.end(), [](int32_t v) { return v != 0; })) {
    snapshot.last_moving_tag = tags_.front();
    snapshot.dropped_since_moving = false;
    for (int c = 0; c < kChannels; ++c) {
      if (part[c] != 0) snapshot.tool.Move(c, part[c]);
    }
  }
  snapshot.counts = counts;
  snapshot.whole_counts = counts_;
  snapshot.stops = stats_.packets[kOpStopMotion];
  snapshot.segments_left = segments_left_;
  status_log_.push_back(snapshot);
  reply.composed = true;
  reply.due_ms = reply.compose_ms + reply.delay_ms;
}

ChannelSteps BoardSimulator::InHandLocked() const {
  ChannelSteps part{};
  if (!habits_.counts_step_through || queue_.empty()) return part;
  const double elapsed = static_cast<double>(credit_us_) / segment_us_;
  for (int c = 0; c < kChannels; ++c) {
    if ((habits_.counted_channels >> c & 1) == 0) continue;
    const double share = std::min(1.0, elapsed / habits_.step_rates[static_cast<size_t>(c)]);
    part[c] = static_cast<int32_t>(std::trunc(queue_.front()[c] * share));
  }
  return part;
}

ChannelSteps BoardSimulator::ReportedCountsLocked() const {
  ChannelSteps counts = counts_;
  const ChannelSteps part = InHandLocked();
  for (int c = 0; c < kChannels; ++c) {
    counts[c] =
        static_cast<int32_t>(static_cast<uint32_t>(counts[c]) + static_cast<uint32_t>(part[c]));
  }
  return counts;
}

void BoardSimulator::CutInHandLocked(std::array<int64_t, 6>& dropped, SegmentFate fate) {
  if (queue_.empty() || !habits_.counts_step_through) return;
  const ChannelSteps steps = queue_.front();
  const ChannelSteps part = InHandLocked();
  const uint64_t tag = tags_.front();
  queue_.pop_front();
  tags_.pop_front();
  ++segments_left_;
  for (int c = 0; c < kChannels; ++c) {
    dropped[c] += steps[c] - part[c];
    stats_.steps_executed[c] += part[c];
    if ((habits_.counted_channels >> c & 1) == 0) continue;
    counts_[c] =
        static_cast<int32_t>(static_cast<uint32_t>(counts_[c]) + static_cast<uint32_t>(part[c]));
    if (part[c] != 0) tool_.Move(c, part[c]);
  }
  if (std::any_of(part.begin(), part.end(), [](int32_t s) { return s != 0; })) {
    last_moving_tag_ = tag;
  }
  if (keep_executed_) executed_.push_back({tag, steps, fate, part, stats_.packets[kOpStopMotion]});
  credit_us_ = 0;
}

void BoardSimulator::AdvanceLocked() {
  const uint32_t now = clock_.TickCountMs();
  for (Reply& reply : replies_) {
    if (reply.composed) continue;
    // The first one still to compose is the earliest: they are composed in order.
    if (static_cast<int32_t>(now - reply.compose_ms) < 0) break;
    RunQueueLocked(reply.compose_ms);
    ComposeLocked(reply);
  }
  RunQueueLocked(now);
}

void BoardSimulator::RunQueueLocked(uint32_t to_ms) {
  const uint32_t delta = to_ms - last_ms_;  // the tick count wraps
  last_ms_ = to_ms;
  if (queue_.empty()) {
    credit_us_ = 0;
    return;
  }
  uint64_t credit = static_cast<uint64_t>(credit_us_) + uint64_t{delta} * 1000;
  while (!queue_.empty() && credit >= segment_us_) {
    const ChannelSteps steps = queue_.front();
    queue_.pop_front();
    const uint64_t tag = tags_.front();
    tags_.pop_front();
    ++segments_left_;
    const uint64_t stops = std::exchange(finishing_after_stop_, false)
                               ? finishing_stops_
                               : stats_.packets[kOpStopMotion];
    if (keep_executed_) executed_.push_back({tag, steps, SegmentFate::kRan, {}, stops});
    credit -= segment_us_;
    if (std::any_of(steps.begin(), steps.end(), [](int32_t s) { return s != 0; })) {
      last_moving_tag_ = tag;
      dropped_since_moving_ = false;
    }
    ExecuteLocked(steps);
    if (queue_.empty()) {
      const bool moving = std::any_of(steps.begin(), steps.end(), [](int32_t s) { return s != 0; });
      if (moving) ++stats_.underruns;
      credit = 0;
    }
  }
  credit_us_ = static_cast<uint32_t>(std::min<uint64_t>(credit, segment_us_));
}

void BoardSimulator::ExecuteLocked(const ChannelSteps& s) {
  const bool moving = std::any_of(s.begin(), s.end(), [](int32_t c) { return c != 0; });
  if (moving) {
    if (idle_since_move_) ++stats_.pauses;
    moved_since_stop_ = true;
    idle_since_move_ = false;
  } else if (moved_since_stop_) {
    idle_since_move_ = true;
  }
  for (int c = 0; c < kChannels; ++c) {
    if ((habits_.counted_channels >> c & 1) == 0) continue;
    counts_[c] =
        static_cast<int32_t>(static_cast<uint32_t>(counts_[c]) + static_cast<uint32_t>(s[c]));
    if (s[c] != 0) tool_.Move(c, s[c]);
  }
  for (int c = 0; c < kChannels; ++c) stats_.steps_executed[c] += s[c];
  ++stats_.segments_executed;
}

void BoardSimulator::DropQueueLocked(std::array<int64_t, 6>& dropped, SegmentFate fate) {
  for (size_t k = 0; k < queue_.size(); ++k) {
    const ChannelSteps& s = queue_[k];
    for (int c = 0; c < kChannels; ++c) dropped[c] += s[c];
    ++segments_left_;
    if (keep_executed_) {
      executed_.push_back({tags_[k], s, fate, {}, stats_.packets[kOpStopMotion]});
    }
  }
  queue_.clear();
  tags_.clear();
  dropped_since_moving_ = true;
  finishing_after_stop_ = false;
}

uint32_t BoardSimulator::InputWordLocked() const {
  return (machine_.InputWord(counts_) & ~override_mask_) | (override_levels_ & override_mask_);
}

bool BoardSimulator::ConnectionEndedLocked(uint64_t generation,
                                           const std::atomic<bool>* cancel) const {
  return !plugged_ || generation != generation_ ||
         (cancel && cancel->load(std::memory_order_acquire));
}

int BoardSimulator::TakeReply(uint8_t out[kReportSize], int timeout_ms, uint64_t generation,
                              const std::atomic<bool>* cancel) {
  // A look without waiting (the cooperative runners) needs no deadline.
  const auto deadline = timeout_ms > 0 ? SteadyClock::now() + std::chrono::milliseconds(timeout_ms)
                                       : SteadyClock::time_point{};
  std::unique_lock lock(mutex_);
  for (;;) {
    if (ConnectionEndedLocked(generation, cancel)) return -1;
    AdvanceLocked();
    if (!replies_.empty() && replies_.front().composed &&
        static_cast<int32_t>(clock_.TickCountMs() - replies_.front().due_ms) >= 0) {
      std::memcpy(out, replies_.front().bytes.data(), kReportSize);
      replies_.pop_front();
      return static_cast<int>(kReportSize);
    }
    // A late reply becomes due by the board's clock, which may be virtual: look again soon.
    const auto slice = std::chrono::milliseconds(replies_.empty() ? 100 : 10);
    if (!WaitSlice(changed_, lock, slice, timeout_ms, deadline)) return 0;
  }
}

bool BoardSimulator::WaitWhileStalled(int timeout_ms, uint64_t generation,
                                      const std::atomic<bool>* cancel) {
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
  std::unique_lock lock(mutex_);
  for (;;) {
    if (ConnectionEndedLocked(generation, cancel) || !stalled_) return true;
    if (!WaitSlice(changed_, lock, std::chrono::milliseconds(100), timeout_ms, deadline)) {
      return false;
    }
  }
}

void BoardSimulator::Kick() {
  std::lock_guard lock(mutex_);
  changed_.notify_all();
}

size_t BoardSimulator::QueuedReplies() {
  std::lock_guard lock(mutex_);
  return replies_.size();
}

size_t BoardSimulator::Fill() {
  std::lock_guard lock(mutex_);
  AdvanceLocked();
  return queue_.size();
}

ChannelSteps BoardSimulator::Counts() {
  std::lock_guard lock(mutex_);
  AdvanceLocked();
  return ReportedCountsLocked();
}

uint32_t BoardSimulator::InputWord() {
  std::lock_guard lock(mutex_);
  AdvanceLocked();
  return InputWordLocked();
}

std::optional<StatusRequestRecord> BoardSimulator::LastStatusRequest() {
  std::lock_guard lock(mutex_);
  return last_status_;
}

std::optional<int32_t> BoardSimulator::ConfigWord(uint8_t op) {
  std::lock_guard lock(mutex_);
  return config_[op];
}

BoardStats BoardSimulator::Stats() {
  std::lock_guard lock(mutex_);
  AdvanceLocked();
  return stats_;
}

std::vector<PacketRecord> BoardSimulator::TakePacketLog() {
  std::lock_guard lock(mutex_);
  std::vector<PacketRecord> log(log_.begin(), log_.end());
  log_.clear();
  return log;
}

void BoardSimulator::SetCount(int channel, int32_t value) {
  std::lock_guard lock(mutex_);
  AdvanceLocked();
  // The count as reported becomes `value`, whatever of the segment in hand it shows.
  if (channel >= 0 && channel < kChannels) {
    counts_[channel] = static_cast<int32_t>(static_cast<uint32_t>(value) -
                                            static_cast<uint32_t>(InHandLocked()[channel]));
  }
}

void BoardSimulator::SetPlay(int channel, int32_t play, bool pressing_positive) {
  std::lock_guard lock(mutex_);
  AdvanceLocked();
  if (channel >= 0 && channel < kChannels) tool_.Set(channel, play, pressing_positive);
}

MechanicalPlay BoardSimulator::Tool() {
  std::lock_guard lock(mutex_);
  AdvanceLocked();
  return tool_;
}

uint64_t BoardSimulator::SegmentsLeft() {
  std::lock_guard lock(mutex_);
  return segments_left_;
}

std::optional<StatusSnapshot> BoardSimulator::StatusFor(uint16_t sequence) {
  std::lock_guard lock(mutex_);
  for (auto it = status_log_.rbegin(); it != status_log_.rend(); ++it) {
    if (it->sequence == sequence) return *it;
  }
  return std::nullopt;
}

void BoardSimulator::SetMachine(const MachineModel& machine) {
  std::lock_guard lock(mutex_);
  AdvanceLocked();  // a reply composed before now reads the machine as it was
  machine_ = machine;
}

void BoardSimulator::OverrideInputs(uint32_t mask, uint32_t levels) {
  std::lock_guard lock(mutex_);
  AdvanceLocked();
  override_mask_ = mask;
  override_levels_ = levels;
}

void BoardSimulator::StallWrites(bool stalled) {
  std::lock_guard lock(mutex_);
  stalled_ = stalled;
  changed_.notify_all();
}

void BoardSimulator::RefuseWrites(uint32_t code, int count) {
  std::lock_guard lock(mutex_);
  refuse_code_ = code;
  refuse_count_ = count;
}

void BoardSimulator::DropReplies(int count) {
  std::lock_guard lock(mutex_);
  drop_count_ = count;
}

void BoardSimulator::DelayReplies(uint32_t ms) {
  std::lock_guard lock(mutex_);
  reply_delay_ms_ = ms;
}

void BoardSimulator::SetSegmentMs(uint32_t ms) {
  std::lock_guard lock(mutex_);
  AdvanceLocked();
  segment_ms_ = std::max<uint32_t>(1, ms);
  const uint32_t before_us = segment_us_;
  segment_us_ = SegmentUs(segment_ms_);
  // Counts shown partway through the segment in hand stay where they are: it goes on at the
  // new pace from the same point of its way.
  if (habits_.counts_step_through) {
    credit_us_ =
        static_cast<uint32_t>((uint64_t{credit_us_} * segment_us_ + before_us - 1) / before_us);
  }
}

void BoardSimulator::ClearFaults() {
  std::lock_guard lock(mutex_);
  stalled_ = false;
  refuse_count_ = 0;
  drop_count_ = 0;
  reply_delay_ms_ = 0;
  changed_.notify_all();
}

void BoardSimulator::TagNextPacket(const std::array<uint64_t, kSegmentsPerPacket>& tags) {
  std::lock_guard lock(mutex_);
  next_tags_ = tags;
}

std::vector<ExecutedSegment> BoardSimulator::TakeExecuted() {
  std::lock_guard lock(mutex_);
  AdvanceLocked();
  keep_executed_ = true;
  std::vector<ExecutedSegment> out;
  out.swap(executed_);
  return out;
}

void BoardSimulator::Unplug(bool runs_on) {
  std::lock_guard lock(mutex_);
  AdvanceLocked();
  if (!plugged_) return;
  plugged_ = false;
  ++generation_;
  replies_.clear();
  if (runs_on) {
    changed_.notify_all();
    return;
  }
  DropQueueLocked(stats_.steps_unplugged, SegmentFate::kUnplugged);
  credit_us_ = 0;
  changed_.notify_all();
}

void BoardSimulator::Replug() {
  std::lock_guard lock(mutex_);
  AdvanceLocked();
  plugged_ = true;
  changed_.notify_all();
}

bool BoardSimulator::plugged() {
  std::lock_guard lock(mutex_);
  return plugged_;
}

uint64_t BoardSimulator::generation() {
  std::lock_guard lock(mutex_);
  return generation_;
}

void BoardSimulator::Reset() {
  std::lock_guard lock(mutex_);
  AdvanceLocked();
  DropQueueLocked(stats_.steps_reset, SegmentFate::kReset);
  replies_.clear();
  counts_ = {};
  credit_us_ = 0;
  moved_since_stop_ = idle_since_move_ = false;
  config_ = {};
  changed_.notify_all();
}

}  // namespace vaskel::sim
