#include "sim/chaos/tool_books.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "sim/chaos/intent_books.h"

namespace vaskel::chaos {
namespace {

// The board stands still this long, with this many status replies the plug-in took as such,
// before the DRO must show the tool: a delayed or reordered reply is older than that. Replies
// it had to refuse (a sequence it never asked for) show it nothing.
constexpr uint32_t kRestMs = 1000;
constexpr uint32_t kRestReplies = 5;

int32_t Wrap(int64_t v) {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v)));
}

}  // namespace

void ToolBooks::Fail(const char* invariant, const std::string& text) {
  if (failed()) return;
  invariant_ = invariant;
  failure_ = text;
}

int32_t ToolBooks::Dro(int axis) const {
  return host_.blocks().engine.Get(engine::kAxisPosition[static_cast<size_t>(axis)]);
}

bool ToolBooks::Reversed(size_t axis) const {
  // The sign goes with the channel: the encoder and the status reply both reverse by its index.
  return host_.blocks().engine.Get(engine::kAxisReversed[static_cast<size_t>(channel_[axis])]);
}

void ToolBooks::Start() {
  const HostBlock& e = host_.blocks().engine;
  compensation_ = e.Get(engine::kBacklashEnabled);
  // Channels 3 and 4 carry the first two enabled axes of 3..5. The plug-in shows axis 3 by
  // channel 3 (all three, with axis 3 disabled), axis 4 by channel 4 with axes 3 and 4
  // enabled, and axis 5 by channel 4 with axis 3 enabled and 4 not. An axis is judged where
  // the channel that carries it is the one that shows it, and carries its own steps: a third
  // enabled axis, axis 5 shown by channel 3 while channel 4 carries it, or a channel that
  // carries a master's steps, is not.
  const auto enabled = [&](int a) { return world_.axes[a].enabled; };
  int carried = 3;
  for (int a = 3; a < 6; ++a) {
    if (!enabled(a)) continue;
    const int channel = carried++;
    const int shown = !enabled(3) ? 3 : a == 3 ? 3 : a == 4 ? 4 : enabled(4) ? -1 : 4;
    if (channel == shown && world_.axes[channel].slave_master < 0 &&
        world_.axes[a].slave_master < 0) {
      channel_[a] = channel;
    }
  }
  for (int a = 0; a < 3; ++a) channel_[a] = a;
  for (int a = 0; a < 6; ++a) {
    if (channel_[a] < 0) continue;
    const AxisSetup& x = world_.axes[a];
    // A slaved axis's take-up would move its master's channel: such a channel has no play
    // of its own here.
    bool slave_takes_up = false;
    for (int s = 3; s < 6 && a < 3; ++s) {
      slave_takes_up |= world_.axes[s].enabled && world_.axes[s].slave_master == a &&
                        world_.axes[s].backlash_amount != 0;
    }
    played_[a] = compensation_ && x.enabled && x.backlash_amount != 0 && !slave_takes_up;
    shared_[a] = compensation_ && slave_takes_up;
    compensation_off_ |= shared_[a];
    // The plug-in starts believing every axis pressed in the positive direction.
    // The play is a width, whatever sign the host's amount was entered with.
    if (played_[a]) board_.SetPlay(channel_[a], Play(a), !Reversed(a));
  }
  const sim::MechanicalPlay tool = board_.Tool();
  for (size_t a = 0; a < 6; ++a) {
    if (channel_[a] >= 0) tool_start_[a] = tool.tool()[static_cast<size_t>(channel_[a])];
  }
}

int32_t ToolBooks::Play(size_t axis) const {
  const int64_t amount = world_.axes[axis].backlash_amount;
  return static_cast<int32_t>(std::min<int64_t>(std::llabs(amount), INT32_MAX));
}

std::array<int32_t, 6> ToolBooks::HostTool(const sim::MechanicalPlay& tool) const {
  std::array<int32_t, 6> t{};
  for (size_t a = 0; a < 6; ++a) {
    if (channel_[a] < 0) continue;
    const int32_t at = tool.tool()[static_cast<size_t>(channel_[a])];
    t[a] = Reversed(a) ? Wrap(-int64_t{at}) : at;
  }
  return t;
}

bool ToolBooks::PressesAsBelieved(int axis, const sim::MechanicalPlay& tool) {
  const auto a = static_cast<size_t>(axis);
  if (!played_[a]) return true;
  const auto c = static_cast<size_t>(channel_[a]);
  const int32_t gap = tool.gap()[c];
  if (gap != 0 && gap != -tool.play()[c]) return false;
  const bool raw_positive = gap == 0;
  const bool positive = Reversed(a) ? !raw_positive : raw_positive;
  return positive == (ctx_.motion().backlash().last_direction(axis) > 0);
}

void ToolBooks::BeforeStep() {
  const DeviceLink& link = ctx_.link();
  running_before_ = link.link_running();
  if (!running_before_) {
    for (int a = 0; a < 6; ++a) {
      dro_before_[static_cast<size_t>(a)] = Dro(a);
      count_before_[static_cast<size_t>(a)] = link.board_count(a);
      offset_before_[static_cast<size_t>(a)] = link.axis_offset(a);
    }
  }
  for (size_t a = 0; a < 6; ++a) dro_reply_before_[a] = Dro(static_cast<int>(a));
  RampGenerator& ramps = ctx_.motion().ramps();
  jog_ramps_before_ = 0;
  homing_before_ = ctx_.motion().state() == kHomeSwitchReleased;
  const BacklashQueue& queue = ctx_.motion().backlash_queue();
  records_before_ = queue.retire_index.load() != queue.open_index.load();
  for (size_t a = 0; a < 3; ++a) {
    if (ramps.jog_ramps()[a].Mode != kRampIdle) jog_ramps_before_ |= 1u << a;
  }
  jog_producer_before_ = ramps.jog_ring().producer.load();
}

void ToolBooks::NoteHomeFrames() {
  const DeviceLink& link = ctx_.link();
  // A home sets the frame: the axis reads 0 where it was referenced (its offset becomes minus
  // its count while the link runs on).
  for (int a = 0; a < 6; ++a) {
    const auto i = static_cast<size_t>(a);
    if (channel_[i] < 0) continue;
    const int32_t offset = link.axis_offset(a);
    if (offset == offset_seen_[i]) continue;
    offset_seen_[i] = offset;
    if (!homing_before_ || !running_before_ || !link.link_running() ||
        Wrap(int64_t{offset} + link.board_count(a)) != 0)
      continue;
    // Referenced at the counts of the reply it took them from: a board may have moved on
    // since (a reply composed before the segment in hand ended, a stop that lets it finish).
    const auto at = board_.StatusFor(static_cast<uint16_t>(link.last_status_sequence()));
    const sim::MechanicalPlay tool = at ? at->tool : board_.Tool();
    anchored_[i] = PressesAsBelieved(a, tool) && (compensation_ || !played_[i]);
    frame_[i] = Wrap(-int64_t{HostTool(tool)[i]});
  }
}

void ToolBooks::AfterStep() {
  if (failed()) return;
  DeviceLink& link = ctx_.link();
  const HostBlock& e = host_.blocks().engine;
  // The plug-in says it no longer knows where the machine is: the frame is set anew.
  const uint32_t lost = link.position_lost_resyncs() + link.unmeasured_resyncs();
  if (lost != lost_seen_) {
    lost_seen_ = lost;
    Unjudge();
  }
  // The link stopped the program where no count told whether a take-up ran: its axis is taken
  // to stand as before it, and a tool that did take up its play travels it once more.
  if (link.resume_unknown_play() != 0 && !play_unknown_) {
    play_unknown_ = true;
    travel_unjudged_ = true;
  }
  // With compensation off the DRO follows the motor through the play, by the host's choice.
  const bool compensation = e.Get(engine::kBacklashEnabled);
  if (compensation_ && !compensation) {
    for (size_t a = 0; a < 6; ++a) {
      if (played_[a]) {
        compensation_off_ = true;
        anchored_[a] = false;
      }
    }
  }
  compensation_ = compensation;
  // An alignment keeps the DRO where it was when the board has not moved since its last counts.
  // Take-up records still open as the link aligns may be applied there (retired, or settled
  // by an abort) and move the DRO by their corrections: the DRO had shown their steps before
  // the link went down (left as it is; the seeds are counted).
  if (!running_before_ && link.link_running() && records_before_) {
    retired_at_alignment_ = true;
  } else if (!running_before_ && link.link_running()) {
    for (int a = 0; a < 6; ++a) {
      const auto i = static_cast<size_t>(a);
      // A DRO held through a take-up when the link went down catches up with the board.
      const bool current = Wrap(int64_t{count_before_[i]} + offset_before_[i]) == dro_before_[i];
      if (current && link.board_count(a) == count_before_[i] && Dro(a) != dro_before_[i]) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "axis %d: the DRO jumped from %d to %d as the link aligned", a,
                      dro_before_[i], Dro(a));
        return Fail("positions", text);
      }
    }
  }
  NoteHomeFrames();

  // A home or probe (the settling phase starts one itself) runs on the jog ring too.
  if (e.Get(engine::kHomingActive) || e.Get(engine::kProbeActive)) jog_direction_.fill(-1);
  NoteCuts();
  CheckReply();
  const uint32_t now = ctx_.platform().clock().TickCountMs();
  if (now == last_look_ms_) return;
  last_look_ms_ = now;
  const sim::ChannelSteps counts = board_.Counts();
  // A reply whose fill lies may be taken for a garbled one: its counts reach the plug-in, but
  // the DRO holds until a reply bears them out. Only replies after the lie make the rest.
  if (board_.Fill() != 0 || counts != rest_counts_ || !link.link_running() ||
      link.resync_pending() || fill_lie_) {
    rest_since_ms_ = now;
    replies_at_rest_ = statuses_taken_;
    rest_counts_ = counts;
    rest_checked_ = false;
    return;
  }
  if (!rest_checked_ && now - rest_since_ms_ >= kRestMs &&
      statuses_taken_ - replies_at_rest_ >= kRestReplies) {
    rest_checked_ = true;
    CheckAtRest(false);
  }
}

// A stop held up on the way (stuck writes) lets the board run the take-up it cut for as long
// as it takes to arrive: the window opens when the board takes a stop.
void ToolBooks::NoteCuts() {
  const uint64_t board_stops = board_.Stats().packets[kOpStopMotion];
  if (books_.stream_cuts() != cuts_seen_) {
    cuts_seen_ = books_.stream_cuts();
    cut_at_ms_ = ctx_.platform().clock().TickCountMs();
    stops_at_cut_ = board_stops;
    cut_on_way_ = true;
  }
  if (cut_on_way_ && board_stops != stops_at_cut_) {
    cut_on_way_ = false;
    cut_at_ms_ = ctx_.platform().clock().TickCountMs();
  }
}

void ToolBooks::OnReportRead() {
  if (failed()) return;
  NoteCuts();
  CheckReply();
}

// While the board runs a take-up the tool stands still: a status reply from then must not move
// the DRO. Each reply is judged by the DRO it found: the receiver takes several in one step.
void ToolBooks::CheckReply() {
  const auto sequence = static_cast<uint16_t>(ctx_.link().last_status_sequence());
  if (sequence == sequence_seen_) return;
  sequence_seen_ = sequence;
  ++statuses_taken_;
  const std::array<int32_t, 6> before = dro_reply_before_;
  for (size_t a = 0; a < 6; ++a) dro_reply_before_[a] = Dro(static_cast<int>(a));
  const std::optional<sim::StatusSnapshot> at = board_.StatusFor(sequence);
  const bool plugin = at && (at->last_moving_tag >> 60) == (IntentBooks::kPluginTag >> 60);
  // A board that dropped its queue since the take-up's last steps runs it no more.
  if (fill_lie_ || !plugin || at->fill == 0 || at->dropped_since_moving ||
      ((at->last_moving_tag >> 32) & 0xff) != kBacklashRing)
    return;
  // An abort leaves out a take-up the board had not finished: the DRO shows what of it ran
  // until the axis's next move meets the tool again.
  const uint32_t now = ctx_.platform().clock().TickCountMs();
  if ((cuts_seen_ != 0 && (cut_on_way_ || now - cut_at_ms_ < kRestMs)) ||
      (lie_ended_ms_ != 0 && now - lie_ended_ms_ < 2 * kRestMs)) {
    unjudged_in_play_ = true;
    return;
  }
  for (int a = 0; a < 6; ++a) {
    const auto i = static_cast<size_t>(a);
    if (!played_[i]) continue;
    const auto c = static_cast<size_t>(channel_[i]);
    const int32_t gap = at->tool.gap()[c];
    if (gap == 0 || gap == -at->tool.play()[c] || Dro(a) == before[i]) continue;
    // Inside its play by steps no take-up made, while another axis takes up.
    if (!taken_up_last_[c]) {
      unjudged_in_play_ = true;
      continue;
    }
    char text[160];
    std::snprintf(text, sizeof text,
                  "axis %d: the DRO moved from %d to %d on a reply from inside a take-up", a,
                  before[i], Dro(a));
    return Fail("tool", text);
  }
}

void ToolBooks::CheckAtRest(bool last) {
  DeviceLink& link = ctx_.link();
  const HostBlock& e = host_.blocks().engine;
  // A take-up the plug-in still holds keeps the DRO where the take-up began; a lying fill
  // holds it or lets it go at its word. A take-up whose record is not retired is one no reply
  // has shown run (its writes held up): the directions the plug-in believes are those after
  // it, not yet the board's, and the tool cannot be told to press as believed.
  if (fill_lie_ || e.Get(engine::kBacklashActive) || ctx_.motion().state() == kBacklashTakeUp ||
      !ctx_.motion().backlash_queue().empty())
    return;
  const sim::ChannelSteps raw = board_.Counts();
  for (size_t a = 0; a < 6; ++a) {
    if (channel_[a] < 0 || !world_.axes[a].enabled) continue;
    const int32_t at = raw[static_cast<size_t>(channel_[a])];
    const int32_t count = Reversed(a) ? Wrap(-int64_t{at}) : at;
    // The plug-in has not yet seen the board where it stands.
    if (link.board_count(static_cast<int>(a)) != count) return;
  }
  const sim::MechanicalPlay tool = board_.Tool();
  const std::array<int32_t, 6> t = HostTool(tool);
  for (int a = 0; a < 6; ++a) {
    const auto i = static_cast<size_t>(a);
    if (channel_[i] < 0 || !world_.axes[i].enabled || shared_[i]) continue;
    // A tool that sits within its play (a take-up an abort cut short) meets the DRO again
    // at the axis's next move; compensation switched off leaves the frame to be set anew.
    if (!PressesAsBelieved(a, tool) || (played_[i] && !compensation_)) {
      unjudged_in_play_ |= played_[i] && compensation_;
      continue;
    }
    const int32_t frame = Wrap(int64_t{Dro(a)} - t[i]);
    if (!anchored_[i]) {
      anchored_[i] = true;
      frame_[i] = frame;
      continue;
    }
    if (frame != frame_[i]) {
      char text[200];
      std::snprintf(text, sizeof text,
                    "axis %d: the DRO shows %d, %d steps off the tool at %d%s (board count %d, "
                    "offset %d)",
                    a, Dro(a), Wrap(int64_t{frame} - frame_[i]), t[i],
                    last ? "" : " while the board stands still", link.board_count(a),
                    link.axis_offset(a));
      return Fail("tool", text);
    }
  }
}

void ToolBooks::CheckFinal() {
  if (failed() || !ctx_.link().link_running() || board_.Fill() != 0) return;
  CloseTakeUp(board_.Stats().packets[kOpStopMotion]);
  CheckAtRest(true);
  // Where nothing but the host's program moves (no stop, no engine going offline), every
  // reversal is taken up by a take-up of its own: the tool travels as far as the program.
  if (failed() || !world_.stream_only || travel_unjudged_ || position_lost_ || compensation_off_) {
    return;
  }
  const sim::MechanicalPlay tool = board_.Tool();
  for (size_t a = 0; a < 6; ++a) {
    if (!played_[a]) continue;
    const int32_t travel =
        Wrap(int64_t{tool.tool()[static_cast<size_t>(channel_[a])]} - tool_start_[a]);
    if (travel == Wrap(program_steps_[a])) continue;
    char text[200];
    std::snprintf(text, sizeof text,
                  "axis %zu: the tool travelled %d steps, the program's moves %lld: a play "
                  "taken up by a move of the program, or taken up twice",
                  a, travel, static_cast<long long>(program_steps_[a]));
    return Fail("tool", text);
  }
}

void ToolBooks::Unjudge() {
  position_lost_ = true;
  anchored_.fill(false);
}

void ToolBooks::AfterAct(const Action& action) {
  if (action.kind == ActionKind::Home || action.kind == ActionKind::Probe) jog_direction_.fill(-1);
  if (action.kind != ActionKind::JogOn || action.axis < 0 || action.axis > 2) return;
  const auto a = static_cast<size_t>(action.axis);
  const HostBlock& e = host_.blocks().engine;
  RampGenerator& ramps = ctx_.motion().ramps();
  // A jog taken from standstill: its first steps go the way it was asked. A jog turned
  // round while it runs decelerates first.
  const bool taken = ctx_.motion().state() == kJogging && ramps.jog_ramps()[a].Mode != kRampIdle &&
                     (jog_ramps_before_ & (1u << a)) == 0 && !e.Get(engine::kHomingActive) &&
                     !e.Get(engine::kProbeActive);
  jog_direction_[a] = taken ? action.direction : -1;
  jog_from_slot_[a] = jog_producer_before_;
}

// A take-up the board ran only in part (cut by a stop, or lost from its queue or the send
// ring) is made whole again when its entry goes out again: the tool travels the part twice.
void ToolBooks::NoteTakeUpTravel() {
  for (size_t a = 0; a < 6; ++a) {
    if (!played_[a]) continue;
    const int64_t steps = take_up_run_[static_cast<size_t>(channel_[a])];
    if (steps != 0 && std::llabs(steps) != Play(a)) {
      travel_unjudged_ = true;
    }
  }
}

void ToolBooks::CloseTakeUp(uint64_t stops) {
  if (!std::exchange(take_up_open_, false)) return;
  NoteTakeUpTravel();
  // An abort stops the take-up's ramp: a stop the board took since it began may have cut it.
  if (!take_up_cut_ && stops == stops_at_take_up_) {
    for (size_t a = 0; a < 6; ++a) {
      if (!played_[a]) continue;
      const int64_t steps = take_up_run_[static_cast<size_t>(channel_[a])];
      if (steps == 0 || std::llabs(steps) == Play(a)) continue;
      char text[160];
      std::snprintf(text, sizeof text, "a take-up put %lld steps on axis %zu; its amount is %d",
                    static_cast<long long>(steps), a, world_.axes[a].backlash_amount);
      return Fail("take-up", text);
    }
  }
  take_up_run_.fill(0);
  take_up_cut_ = false;
}

void ToolBooks::OnSegment(const sim::ExecutedSegment& s) {
  if (failed()) return;
  const bool ran = s.fate == sim::SegmentFate::kRan;
  // What of it moved the tool: all of a segment run, the part that ran of one cut in hand.
  const sim::ChannelSteps& moved = ran ? s.steps : s.ran;
  const bool moved_any = std::any_of(moved.begin(), moved.end(), [](int32_t v) { return v != 0; });
  const bool plugin = (s.tag >> 60) == (IntentBooks::kPluginTag >> 60);
  const auto source = static_cast<SegmentSourceId>(plugin ? (s.tag >> 32) & 0xff : 0xff);
  if (plugin && source == kBacklashRing) {
    // A stop or a lost queue cut the take-up: the rest of it never runs.
    if (!ran) take_up_cut_ = true;
    // As the board ran it: a segment it ran just before a stop is read after the stop, and
    // belongs to the take-up the stop cut, not to the next one.
    const uint64_t stops = s.stops;
    // A stop since the open take-up began cut it, its ramp discarded unsent: with no moving
    // segment between, the next take-up's steps would otherwise be summed into it.
    if (ran && take_up_open_ && stops != stops_at_take_up_) {
      NoteTakeUpTravel();
      take_up_open_ = false;
      take_up_run_.fill(0);
      take_up_cut_ = false;
    }
    if ((ran || moved_any) && !take_up_open_) {
      take_up_open_ = true;
      stops_at_take_up_ = stops;
    }
    for (size_t c = 0; c < 6; ++c) {
      take_up_run_[c] += moved[c];
      take_up_steps_[c] += moved[c];
      if (moved[c] != 0) taken_up_last_[c] = true;
    }
    return;
  }
  for (size_t a = 0; a < 6; ++a) {
    if (channel_[a] >= 0) program_steps_[a] += moved[static_cast<size_t>(channel_[a])];
  }
  if (!ran && moved_any) {
    for (size_t c = 0; c < 6; ++c) taken_up_last_[c] = taken_up_last_[c] && moved[c] == 0;
  }
  const bool moving = std::any_of(s.steps.begin(), s.steps.end(), [](int32_t v) { return v != 0; });
  if (!ran || !moving) return;
  for (size_t c = 0; c < 6; ++c) taken_up_last_[c] = taken_up_last_[c] && s.steps[c] == 0;
  CloseTakeUp(s.stops);
  if (!plugin || source != kJogRing) return;
  const auto slot = static_cast<int32_t>(s.tag & 0xffffffffu);
  const HostBlock& e = host_.blocks().engine;
  for (size_t a = 0; a < 3; ++a) {
    if (jog_direction_[a] < 0 || s.steps[a] == 0 || ((slot - jog_from_slot_[a]) & 0xfff) >= 2048) {
      continue;
    }
    const int32_t steps = e.Get(engine::kAxisReversed[a]) ? -s.steps[a] : s.steps[a];
    if ((steps < 0) != (jog_direction_[a] != 0)) {
      char text[160];
      std::snprintf(text, sizeof text, "a jog of axis %zu asked for the %s direction ran %d steps",
                    a, jog_direction_[a] != 0 ? "negative" : "positive", steps);
      return Fail("intent", text);
    }
    jog_direction_[a] = -1;
  }
}

}  // namespace vaskel::chaos
