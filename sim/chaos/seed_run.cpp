#include "sim/chaos/seed_run.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "device/little_endian.h"
#include "platform/clock.h"
#include "plugin/plugin_context.h"
#include "sim/board/board_simulator.h"
#include "sim/chaos/chaos_host.h"
#include "sim/chaos/faulty_link.h"
#include "sim/chaos/scheduler.h"
#include "sim/chaos/stop_checks.h"
#include "sim/chaos/tool_books.h"

namespace vaskel::chaos {
namespace {

constexpr uint32_t kSettleMs = 5000;         // faults over: the plug-in is live again by then
constexpr uint32_t kMostExtraMs = 60000;     // a program still draining may extend the run
constexpr uint32_t kMostFeedingMs = 180000;  // a host still feeding its program, at most
constexpr uint64_t kSchedulingSalt = 0x5deece66dULL;

std::string FormatPackets(const char* title, const std::deque<LoggedPacket>& log) {
  std::string out = title;
  out += "\n";
  char line[64];
  for (const LoggedPacket& p : log) {
    std::snprintf(line, sizeof line, "  %9.3f s %2d:", p.time_ms / 1000.0, p.size);
    out += line;
    const int shown = std::min(p.size, 24);
    for (int k = 0; k < shown; ++k) {
      std::snprintf(line, sizeof line, " %02x", p.bytes[k]);
      out += line;
    }
    if (p.size > shown) out += " ...";
    out += "\n";
  }
  return out;
}

class SeedRun {
 public:
  SeedRun(const World& world, const SeedOptions& options)
      : world_(world),
        options_(options),
        rng_(world.seed ^ kSchedulingSalt),
        board_(clock_, BoardOptionsFor(world)),
        bus_(board_, clock_, rng_, hash_),
        platform_(clock_, bus_, world.timer_gap_ms_x10),
        ctx_(platform_),
        host_(world, ctx_),
        invariants_(world, ctx_, host_, bus_) {}

  SeedResult Run() {
    platform_.scheduled_workers().set_schedule_point_handler(
        [this](const char* where) { OnSchedulePoint(where); });
    ctx_.motion().set_stream_observer(&books_);
    bus_.set_port(world_.port, world_.write_wire_ms);
    bus_.set_books(&books_);
    bus_.set_reply_books(&replies_);
    host_.set_books(&books_);
    books_.set_counted_channels(world_.habits.counted_channels);
    books_.set_segment_hook([this](const sim::ExecutedSegment& s) {
      tool_books_.OnSegment(s);
      NoteSegmentLeft(s);
    });
    invariants_.set_take_up_steps(&tool_books_.take_up_steps());
    host_.Start();
    tool_books_.Start();
    uint32_t next_update = 0;
    size_t next_action = 0;
    uint32_t paused_until = 0;
    uint32_t drained_at = 0;
    uint32_t end = world_.duration_ms;
    bool settled_checked = false;
    for (uint32_t t = 1; t <= end && !failed(); ++t) {
      clock_.AdvanceMs(1);
      ApplyFaults(t);
      bus_.DeliverDue();
      events_.clear();
      while (next_action < world_.actions.size() && world_.actions[next_action].at_ms <= t) {
        events_.push_back(static_cast<int>(next_action++));
      }
      if (t == world_.quiet_ms) events_.push_back(kSettle0);
      if (settle1_at_ == 0 && t >= world_.quiet_ms) {
        if (SettlingStopDue(t)) {
          settle1_at_ = t;
          events_.push_back(kSettle1);
        }
        end = std::max(end, t + 1);
      }
      // Once the settling stop is over (or never, for a plug-in that does not get there).
      if (!final_home_tried_ && settle1_at_ != 0 && t >= settle1_at_ + kFinalHomeAfterMs &&
          ctx_.motion().state() == kRunning) {
        final_home_tried_ = true;
        events_.push_back(kFinalHome);
      }
      if (host_.has_work() && t % world_.feed_period_ms == 0) events_.push_back(kFeed);
      if (t >= next_update && t >= paused_until) {
        events_.push_back(kUpdate);
        next_update =
            t + static_cast<uint32_t>(rng_.Range(world_.update_min_ms, world_.update_max_ms));
      }
      if (platform_.scheduled_timers().due()) events_.push_back(kTimers);
      // Host calls keep their order; each worker step that runs falls anywhere between them.
      for (size_t w = 0; w < platform_.scheduled_workers().count(); ++w) {
        if (!rng_.Chance(world_.worker_rate) || Idle(w)) continue;
        const size_t at = rng_.Next() % (events_.size() + 1);
        events_.insert(events_.begin() + static_cast<std::ptrdiff_t>(at),
                       kWorker0 + static_cast<int>(w));
      }
      for (int ev : events_) {
        if (ev >= 0 && ev < kWorker0 && world_.actions[ev].kind == ActionKind::Pause) {
          paused_until = t + static_cast<uint32_t>(world_.actions[ev].value);
        }
        RunEvent(ev);
        if (failed()) break;
      }
      // Liveness: once the program has drained after the quiet time, the plug-in settles.
      if (settle1_at_ != 0 && t > settle1_at_ && drained_at == 0 && host_.program_done()) {
        drained_at = t;
        end = std::min(world_.duration_ms + kMostExtraMs,
                       std::max(end, drained_at + kSettleMs + 1000));
      }
      // A host that feeds its program slower than the board runs it (a slow planner) may still
      // be feeding, or its last entries draining, when the run would end: the run waits for
      // them, within a longer bound.
      if (t == end && !host_.program_done() && drained_at == 0) {
        end = std::min(world_.duration_ms + kMostFeedingMs, t + 1);
      }
      if (final_home_deadline_ > end) {
        end = std::min(world_.duration_ms + kMostExtraMs, final_home_deadline_ + 1000);
      }
      // The last home is looked at once it has ended and a status round has shown where it
      // left the axis, or at its deadline.
      if (final_home_deadline_ != 0 && !ctx_.motion().home_requested() &&
          !host_.blocks().engine.Get(engine::kHomingActive)) {
        final_home_deadline_ = std::min(final_home_deadline_, t + 1000);
      }
      // A write a closed port never completes (Windows' cancelled write) holds the next
      // connection for the link's own limit before it is written again.
      // The plug-in is looked at once it has had the settling time since that write ended.
      if (ctx_.link().sender_has_write_to_settle()) {
        abandoned_at_ = t;
        end = std::min(world_.duration_ms + kMostExtraMs, std::max(end, t + kSettleMs + 1000));
      }
      if (drained_at != 0 && !settled_checked && t >= drained_at + kSettleMs &&
          t >= final_home_deadline_ && (abandoned_at_ == 0 || t >= abandoned_at_ + kSettleMs)) {
        invariants_.CheckSettled();
        settled_checked = true;
      }
    }
    if (!failed() && !settled_checked) {
      invariants_.CheckSettled();
      if (!invariants_.failed() && !host_.program_done()) {
        Fail("liveness", "the host's trajectory never drained");
      }
    }
    if (!failed()) invariants_.CheckSettled();
    if (!failed()) {
      books_.Observe();
      tool_books_.CheckFinal();
      NoteBooks();
    }
    // Every entry the host queued ran once or was dropped by a rule. A board fed past its
    // room on a lying fill drops what comes while its queue is full, and a rewind measured on
    // a lying fill takes its word: the books excuse exactly those entries (the ones the board
    // dropped, the ones streamed before such a measurement) and account for the rest.
    if (!failed()) {
      books_.CheckAccounted();
      NoteBooks();
    }
    if (options_.trace) {
      ScheduledWorkers& w = platform_.scheduled_workers();
      std::printf("at the end: %zu workers:", w.count());
      for (size_t i = 0; i < w.count(); ++i) std::printf(" '%s'", w.name(i).c_str());
      std::printf(
          "; send ring holds %d, sent %llu packets to the board; %llu host entries ran, %u "
          "segments clipped\n",
          ctx_.link().send_ring().count(), static_cast<unsigned long long>(bus_.writes_delivered()),
          static_cast<unsigned long long>(books_.host_segments_run()),
          ctx_.motion().clipped_segments());
    }
    ctx_.StopPlug();
    SeedResult result;
    NoteBooks();
    result.passed = !invariants_.failed() && own_violation_.invariant.empty();
    result.violation = invariants_.failed() ? invariants_.violation() : own_violation_;
    result.hash = hash_.value();
    result.excused_invisible_loss = books_.invisible_losses() != 0;
    result.excused_repeated_pause = books_.repeated_pauses() != 0;
    result.excused_in_hand_loss = books_.in_hand_losses() != 0;
    result.excused_fill_lie = books_.lie_losses() != 0;
    result.excused_reset_untellable = invariants_.reset_excused() || power_loss_untellable_;
    result.excused_unjudged_replies = replies_.excused() != 0;
    result.excused_compensation_off = tool_books_.excused_compensation_off();
    result.excused_position_lost = tool_books_.excused_position_lost();
    result.excused_take_up_drop = invariants_.take_up_drop_unjudged();
    result.excused_retired_at_alignment = tool_books_.excused_retired_at_alignment();
    result.excused_in_play = tool_books_.excused_in_play();
    result.excused_play_unknown = tool_books_.excused_play_unknown();
    result.resume_unknown = ctx_.link().resume_unknown_stops() != 0;
    result.virtual_ms = clock_.TickCountMs();
    if (!result.passed) {
      result.packets =
          FormatPackets("last packets to the board (time, size, bytes):", bus_.sent()) +
          FormatPackets("last packets from the board:", bus_.received());
    }
    return result;
  }

 private:
  static constexpr int kSettle0 = -1, kSettle1 = -2, kFeed = -3, kUpdate = -4, kTimers = -5,
                       kFinalHome = -6;
  static constexpr uint32_t kFinalHomeAfterMs = 1000;
  // From the end of faults and E-stop to the settling stop: a dwell, a drain, a reconnection
  // after a stuck write and a Halted waiting for its board all end well within it.
  static constexpr uint32_t kSelfSettleMs = 4000;
  // A program still streaming by then is stopped by the settling stop, unjudged.
  static constexpr uint32_t kProgramDrainDeadlineMs = 45000;
  // A move that ended just before the first look: its decelerating ramp, the board's buffer
  // and a status round.
  static constexpr uint32_t kLastDrainMs = 5000;
  static constexpr uint32_t kLongestFinalHomeMs = 55000;

  // Worker w is the probe's, and the only one: an older probe's worker ends unseen when a
  // later call has taken its place.
  bool OnlyProbeWorker(size_t w) {
    const ScheduledWorkers& workers = platform_.scheduled_workers();
    size_t probes = 0;
    for (size_t i = 0; i < workers.count(); ++i) probes += workers.name(i) == "vaskel-probe";
    return probes == 1 && workers.name(w) == "vaskel-probe";
  }

  // Before the settling stop, what needs no host action must have ended by itself: looked at
  // a while after the host's program has drained, or once its queue is held; a program still
  // streaming at the deadline is stopped unjudged.
  bool SettlingStopDue(uint32_t t) {
    if (!host_.program_done()) {
      program_done_at_ = 0;
    } else if (program_done_at_ == 0) {
      program_done_at_ = t;
    }
    const int32_t consumer = host_.blocks().engine.Get(engine::kTrajConsumerIndex);
    if (consumer != consumer_seen_ || host_.QueuedSegments() == 0) {
      consumer_seen_ = consumer;
      consumer_moved_at_ = t;
    }
    if (look_from_ == 0) {
      const bool held = t >= consumer_moved_at_ + kSelfSettleMs;
      const bool done = program_done_at_ != 0 && t >= program_done_at_ + kSelfSettleMs;
      if (t < world_.quiet_ms + kSelfSettleMs ||
          !(done || held || t >= world_.quiet_ms + kProgramDrainDeadlineMs)) {
        return false;
      }
      look_from_ = t;
      judge_ = done || held;
    }
    return !judge_ || invariants_.CheckSelfSettled(t >= look_from_ + kLastDrainMs);
  }

  // Once settled, a world with a home switch homes its axis; a switch within reach must end
  // the home referenced. The time allowed follows from where the axis is: the way to the
  // switch at the home speed, the overshoot and its way back at half of it, and the drain.
  void StartFinalHome() {
    const sim::MachineSwitch* home = nullptr;
    for (const sim::MachineSwitch& sw : world_.switches) {
      if (sw.kind == sim::SwitchKind::Home && !world_.axes[sw.axis].reversed) {
        home = &sw;
        break;
      }
    }
    if (home == nullptr) return;
    const AxisSetup& x = world_.axes[home->axis];
    const double speed = x.velocity * x.steps_per_unit * x.home_speed_percent / 200.0;
    const double accel = x.acceleration * x.steps_per_unit;
    if (!(speed > 0) || !(accel > 0)) return;
    // Within reach: on the near side of the switch, so the home runs onto it, not away.
    const double at = board_.Counts()[home->axis];
    const double distance =
        home->side == sim::SwitchSide::Max ? home->position - at : at - home->position;
    if (!(distance > 0) || host_.blocks().engine.Get(engine::kEStopActive)) return;
    const double overshoot = speed * speed / (2 * accel);
    // The switch is seen while the move still queued runs on: the board may hold up to two
    // device buffers' worth (the streamer sends until the fill it last confirmed reaches them),
    // the ring a jog buffer's, and the ramp brakes at half the axis's acceleration (its step
    // is a T^2 / 2 a segment). A limit closer than that behind the switch ends the home in an
    // E-stop.
    const double run_on =
        speed * (2 * world_.device_buffer_ms + world_.jog_buffer_ms + 200) / 1000.0 + 2 * overshoot;
    for (const sim::MachineSwitch& sw : world_.switches) {
      if (sw.kind == sim::SwitchKind::Limit && sw.axis == home->axis && sw.side == home->side &&
          std::fabs(static_cast<double>(sw.position) - home->position) < 1.5 * run_on) {
        return;
      }
    }
    // A take-up where the home sets off and another where it turns back, a step a segment at
    // the slowest.
    const double take_ups_ms =
        2.0 * (std::fabs(static_cast<double>(x.backlash_amount)) * 3.0 + 500.0);
    double ms = 1000.0 * ((distance + 2 * overshoot) / (speed / 2) + 2 * speed / accel) +
                take_ups_ms + 4000;
    // Three times the estimate: the check waits for the home's end, not for the estimate.
    ms *= 3;
    if (ms > kLongestFinalHomeMs) return;
    if (options_.trace) {
      std::printf("%8.3f s  final home axis %d from %.0f, switch at %d, %.0f ms allowed\n",
                  clock_.TickCountMs() / 1000.0, home->axis, at, home->position, ms);
    }
    Action action;
    action.kind = ActionKind::Home;
    action.axis = home->axis;
    host_.Act(action);
    final_home_started_ = clock_.TickCountMs();
    final_home_deadline_ = final_home_started_ + static_cast<uint32_t>(ms);
    invariants_.ExpectReferenced(home->axis);
  }
  static constexpr int kWorker0 = 1 << 20;

  static sim::BoardOptions BoardOptionsFor(const World& world) {
    sim::BoardOptions o;
    o.reply_wire_ms = world.reply_wire_ms;
    o.habits = world.habits;
    for (const sim::MachineSwitch& s : world.switches) o.machine.Add(s);
    return o;
  }

  void Fail(const std::string& invariant, const std::string& detail) {
    own_violation_ = {invariant, detail, clock_.TickCountMs()};
  }

  bool failed() const { return invariants_.failed() || !own_violation_.invariant.empty(); }

  void NoteBooks() {
    if (books_.failed() && own_violation_.invariant.empty()) {
      Fail(books_.invariant(), books_.failure());
    }
    if (tool_books_.failed() && own_violation_.invariant.empty()) {
      Fail(tool_books_.invariant(), tool_books_.failure());
    }
  }

  void RunEvent(int ev) {
    const StepKind kind = ev >= kWorker0  ? StepKind::Worker
                          : ev == kTimers ? StepKind::Tick
                          : ev == kUpdate ? StepKind::Update
                                          : StepKind::HostCall;
    DeviceLink& link = ctx_.link();
    const uint32_t starts_before = link.link_starts();
    const bool resync_before = link.resync_pending();
    if (kind == StepKind::Update && !link.device_connected()) books_.SnapshotRing();
    if (bus_.faults().fill_lie > 0 && (link.resync_pending() || !link.link_running())) {
      books_.NoteLyingMeasurement();
      tool_books_.Unjudge();
    }
    if (ev >= 0 && ev < kWorker0) NoteStopOrDwell(world_.actions[ev]);
    if (ev == kSettle1 && !world_.stream_only) stops_.ExpectStop();
    stops_.BeforeStep();
    invariants_.set_probe_worker_stepped(ev >= kWorker0 &&
                                         OnlyProbeWorker(static_cast<size_t>(ev - kWorker0)));
    invariants_.BeforeStep(kind);
    tool_books_.BeforeStep();
    const uint64_t bodies_before = ctx_.tick().bodies_run;
    if (ev >= kWorker0) {
      platform_.scheduled_workers().Step(static_cast<size_t>(ev - kWorker0));
    } else if (ev >= 0) {
      RunAction(world_.actions[ev]);
    } else if (ev == kSettle0 || ev == kSettle1) {
      if (options_.trace)
        std::printf("%8.3f s  settle %d\n", clock_.TickCountMs() / 1000.0, -ev - 1);
      host_.Settle(-ev - 1);
      books_.NoteMoveAsked();
    } else if (ev == kFinalHome) {
      if (!world_.stream_only) StartFinalHome();
      books_.NoteMoveAsked();
    } else if (ev == kFeed) {
      host_.Feed();
    } else if (ev == kUpdate) {
      UpdateHost();
    } else {
      ctx_.DispatchTimers();
    }
    host_.NoteRingChanges();
    NoteOperatorStops(bodies_before);
    invariants_.AfterStep(kind);
    if (!stops_.AfterStep() && own_violation_.invariant.empty()) {
      Fail(stops_.invariant(), stops_.failure());
    }
    replies_.ScanCommits();
    if (replies_.failed() && own_violation_.invariant.empty()) {
      Fail("conservation", replies_.failure());
    }
    if (link.link_starts() != starts_before) NoteLinkStart(resync_before);
    books_.Observe();
    tool_books_.AfterStep();
    NoteBooks();
    NoteRepliesAndStops();
    if (options_.trace) TraceLink();
    const int32_t state = ctx_.motion().state();
    if (state != last_state_) {
      last_state_ = state;
      hash_.AddValue(clock_.TickCountMs());
      hash_.AddValue(state);
      if (options_.trace) {
        std::printf("%8.3f s  motion state %d\n", clock_.TickCountMs() / 1000.0, state);
      }
    }
  }

  // A link start without a resynchronisation drops what waited to be sent, by rule; but not
  // after a write the board stalled past the plug-in's patience: the board may have run on
  // meanwhile, and only a resynchronisation tells how far, so what was queued behind the
  // stalled write is sent again, never dropped.
  void NoteLinkStart(bool resync_before) {
    const bool after_stall = bus_.stalled_closes() != stalled_closes_seen_;
    stalled_closes_seen_ = bus_.stalled_closes();
    if (resync_before) return;
    if (after_stall && books_.SnapshotHoldsHostEntries()) {
      if (own_violation_.invariant.empty()) {
        Fail("conservation",
             "the link started again without a resynchronisation after a stalled write and "
             "dropped the host's entries queued behind it");
      }
      return;
    }
    books_.ExcuseSnapshot();
  }

  void RunAction(const Action& action) {
    if (options_.trace) std::printf("%s\n", DescribeAction(action).c_str());
    host_.Act(action);
    // A stop or a reset ends everything before it, as an E-stop does.
    if (action.kind == ActionKind::Notify && (action.value == -1 || action.value == 10)) {
      books_.NoteOperatorStop();
    }
    tool_books_.AfterAct(action);
    if (action.kind == ActionKind::JogOn || action.kind == ActionKind::Home ||
        action.kind == ActionKind::Probe) {
      books_.NoteMoveAsked();
    }
    // A reset halts the machine there and then.
    if (action.kind == ActionKind::Notify && action.value == 10 &&
        ctx_.motion().state() != kHalted) {
      Fail("safety", "the machine was not halted after Notify(10)");
    }
  }

  // Stops the step brought that no host call told of: the link's own program stop (a lost
  // position, a resync it cannot resume), and an E-stop a tick body found raised.
  void NoteOperatorStops(uint64_t bodies_before) {
    const DeviceLink& link = ctx_.link();
    const uint32_t program_stops =
        link.unmeasured_resyncs() + link.position_lost_resyncs() + link.resume_unknown_stops();
    if (program_stops != program_stops_seen_) {
      program_stops_seen_ = program_stops;
      books_.NoteOperatorStop();
    }
    if (ctx_.tick().bodies_run != bodies_before) {
      const bool raised = host_.blocks().engine.Get(engine::kEStopActive) != 0;
      if (raised && !estop_ticked_) books_.NoteOperatorStop();
      estop_ticked_ = raised;
    }
  }

  void NoteStopOrDwell(const Action& action) {
    if (action.kind == ActionKind::Notify && action.value == -1) stops_.ExpectStop();
    if (action.kind == ActionKind::Dwell) stops_.NoteDwellCall();
  }

  // A step of this worker now would find nothing to do: skipped, for speed only.
  bool Idle(size_t w) {
    DeviceLink& link = ctx_.link();
    const std::string& name = platform_.scheduled_workers().name(w);
    if (name == "vaskel-send") {
      return link.send_ring().count() == 0 && link.advance_to_next() && !link.write_in_flight() &&
             link.held_packet_for_test() == nullptr && !link.sender_has_write_to_settle();
    }
    if (name == "vaskel-wdone") return !link.write_in_flight();
    if (name == "vaskel-recv") {
      return bus_.held_replies() == 0 && board_.QueuedReplies() == 0;
    }
    return false;
  }

  void TraceLink() {
    DeviceLink& link = ctx_.link();
    const int flags = link.device_connected() | link.link_running() << 1 |
                      link.write_in_flight() << 2 | link.advance_to_next() << 3 |
                      link.resync_pending() << 4;
    if (flags == last_link_flags_) return;
    last_link_flags_ = flags;
    std::printf(
        "%8.3f s  link: connected %d running %d in-flight %d advance %d resync %d, "
        "fill %d, errors %d, pending replies %d\n",
        clock_.TickCountMs() / 1000.0, flags & 1, flags >> 1 & 1, flags >> 2 & 1, flags >> 3 & 1,
        flags >> 4 & 1, link.device_fill(), link.write_error_count(),
        link.pending_replies().pending());
  }

  void OnSchedulePoint(const char* where) {
    ScheduledWorkers& workers = platform_.scheduled_workers();
    if (std::strcmp(where, "packet committed") == 0) {
      if (in_update_ && world_.preempt_most_ms != 0 && rng_.Chance(world_.preempt_rate)) {
        Preempt(static_cast<uint32_t>(rng_.Range(1, world_.preempt_most_ms)));
      }
      return;
    }
    if (std::strcmp(where, "receiver: report read") == 0) tool_books_.OnReportRead();
    if (RunningDropPointReached(where)) return DropAtRunningRead();
    if (DropPointReached(where)) {
      // The board drops as the receiver handles its resynchronisation's reply, and the
      // sender's next write finds it gone: the close asks for a resynchronisation of its own.
      drop_in_resync_done_ = true;
      DropBoard(world_.drop_in_resync_ms, where);
      StepSenderUntilClosed();
      return;
    }
    if (workers.count() == 0 || !rng_.Chance(world_.schedule_point_rate)) return;
    const size_t w = rng_.Next() % workers.count();
    if (workers.stepping(w)) return;
    workers.Step(w);
    books_.Observe();
  }

  // The host's thread loses the processor for `ms`: time goes on, the board runs and answers,
  // and the link's workers take their steps (each at most once a millisecond, as the scheduler
  // would give them); the host's own calls and timers wait. The run's own time goes on where
  // it was: actions and faults come that much later on the clock.
  void Preempt(uint32_t ms) {
    ScheduledWorkers& workers = platform_.scheduled_workers();
    if (options_.trace) {
      std::printf("%8.3f s  host preempted for %u ms\n", clock_.TickCountMs() / 1000.0, ms);
    }
    hash_.AddValue(ms);
    for (uint32_t k = 0; k < ms && !failed(); ++k) {
      clock_.AdvanceMs(1);
      bus_.DeliverDue();
      for (size_t w = 0; w < workers.count(); ++w) {
        const std::string& name = workers.name(w);
        if ((name != "vaskel-send" && name != "vaskel-wdone" && name != "vaskel-recv") ||
            workers.stepping(w) || Idle(w) || !rng_.Chance(world_.worker_rate)) {
          continue;
        }
        workers.Step(w);
        books_.Observe();
      }
    }
  }

  bool RunningDropPointReached(const char* where) {
    if (world_.drop_running_ms == 0 || drop_running_done_ || in_update_) return false;
    const uint32_t now = clock_.TickCountMs();
    if (now < world_.drop_running_after_ms || replug_at_ != 0 ||
        now + world_.drop_running_ms + 1000 >= world_.quiet_ms) {
      return false;
    }
    return std::strcmp(where, "receiver: report read") == 0 && ctx_.link().link_running();
  }

  // The receiver, holding a reply it has read, loses the processor; meanwhile the board drops
  // off the bus, the host's Update asks for a status, and the sender's write of it finds the
  // board gone and closes the link. The reply is then handled as one read before the close.
  void DropAtRunningRead() {
    drop_running_done_ = true;
    DropBoard(world_.drop_running_ms, "receiver: report read, link running");
    UpdateHost();
    StepSenderUntilClosed();
  }

  // The board drops off the bus for `ms`, powered and running on; the replies it had queued
  // are lost with it.
  void DropBoard(uint32_t ms, const char* where) {
    const uint32_t now = clock_.TickCountMs();
    replug_at_ = now + ms;
    if (options_.trace) std::printf("%8.3f s  board drop at '%s'\n", now / 1000.0, where);
    hash_.AddValue(now);
    invariants_.NoteRepliesLost(board_.QueuedReplies());
    board_.Unplug(true);
  }

  // Update holds none of the motion code's locks: while it runs, the link's workers may run
  // too (see Preempt).
  void UpdateHost() {
    in_update_ = true;
    host_.Update();
    in_update_ = false;
  }

  // The receiver is preempted while the sender's write fails and closes the link (its write in
  // flight first completes with the error); neither waits on a lock the receiver holds.
  void StepSenderUntilClosed() {
    ScheduledWorkers& workers = platform_.scheduled_workers();
    for (int round = 0; round < 4 && ctx_.link().device_connected(); ++round) {
      for (size_t w = 0; w < workers.count(); ++w) {
        const std::string& name = workers.name(w);
        if ((name != "vaskel-wdone" && name != "vaskel-send") || workers.stepping(w)) continue;
        workers.Step(w);
        books_.Observe();
      }
    }
  }

  bool DropPointReached(const char* where) {
    if (world_.drop_in_resync_ms == 0 || drop_in_resync_done_) return false;
    const uint32_t now = clock_.TickCountMs();
    if (now + world_.drop_in_resync_ms + 1000 >= world_.quiet_ms) return false;
    if (world_.drop_as_read) {
      const DeviceLink& link = ctx_.link();
      return std::strcmp(where, "receiver: report read") == 0 && link.resync_pending() &&
             !link.link_running();
    }
    return std::strcmp(where, "status reply: resync measured") == 0;
  }

  void ApplyFaults(uint32_t t) {
    if (replug_at_ != 0 && t >= replug_at_) {
      replug_at_ = 0;
      board_.Replug();
    }
    // A reset armed for the next stop: within a millisecond of the board taking it, while its
    // queue is cleared and only its counts can tell.
    if (reset_after_stop_ && t < world_.quiet_ms &&
        board_.Stats().packets[kOpStopMotion] != stops_when_armed_) {
      reset_after_stop_ = false;
      if (options_.trace) {
        std::printf("%8.3f s  board reset just after a stop\n", clock_.TickCountMs() / 1000.0);
      }
      hash_.AddValue(clock_.TickCountMs());
      ResetBoard();
    }
    for (const Fault& f : world_.faults) {
      if (f.at_ms == t) SetFault(f, true);
      if (f.at_ms + f.duration_ms == t) SetFault(f, false);
    }
  }

  void SetFault(const Fault& f, bool on) {
    if (options_.trace) {
      if (on) {
        std::printf("%s\n", DescribeFault(f).c_str());
      } else {
        std::printf("%8.3f s  end of the fault at %.3f s\n", clock_.TickCountMs() / 1000.0,
                    f.at_ms / 1000.0);
      }
    }
    hash_.AddValue(clock_.TickCountMs());
    hash_.AddValue(f.kind);
    ActiveFaults& a = bus_.faults();
    const double rate = on ? f.rate : 0;
    switch (f.kind) {
      case FaultKind::DropReplies:
        a.drop = rate;
        break;
      case FaultKind::DuplicateReplies:
        a.duplicate = rate;
        break;
      case FaultKind::DelayReplies:
        a.delay = rate;
        a.delay_ms = f.param;
        break;
      case FaultKind::ReorderReplies:
        a.reorder = rate;
        break;
      case FaultKind::UnknownSequence:
        a.unknown_sequence = rate;
        break;
      case FaultKind::ShortReplies:
        a.short_reply = rate;
        break;
      case FaultKind::LongReplies:
        a.long_reply = rate;
        break;
      case FaultKind::FillLie:
        a.fill_lie = rate;
        if (on) invariants_.NoteFillLie();
        // The fill tells which take-ups the board has made: the offsets follow the lie.
        tool_books_.NoteFillLie(on);
        break;
      case FaultKind::RefuseWrites:
        if (f.param == hid_error::kDeviceNotConnected) {
          // The board is gone for as long as its writes say so.
          if (on) {
            // Replies the board had not yet sent (composed late, or on the wire) go with it.
            invariants_.NoteRepliesLost(board_.QueuedReplies());
            board_.Unplug();
            invariants_.NoteBoardLoss();
          } else {
            board_.Replug();
          }
        } else {
          a.refuse_code = f.param;
          a.refuse_left = on ? f.count : 0;
        }
        break;
      case FaultKind::StuckWrites:
        a.stuck = on;
        // The rate, unused by a stall, picks how its write ends.
        if (on) {
          a.stuck_end = f.rate < 0.25   ? StuckEnd::kFailed
                        : f.rate < 0.45 ? StuckEnd::kDeliveredLate
                                        : StuckEnd::kDelivered;
        }
        break;
      case FaultKind::Unplug:
        if (on) {
          // The rate, unused by an unplug, picks a drop the powered board runs on through.
          const bool runs_on = f.param == 0 && f.rate < 0.35;
          const std::array<int64_t, 6> dropped = board_.Stats().steps_unplugged;
          // The segments that left the queue up to now, for the bounds of a power loss.
          if (f.param == 1) books_.Observe();
          invariants_.NoteRepliesLost(board_.QueuedReplies());
          board_.Unplug(runs_on);
          if (!runs_on) invariants_.NoteBoardLoss();
          if (f.param == 1) NotePowerLoss(dropped);
        } else {
          // The power comes back with the plug: an unplug that overlapped one that has ended
          // already finds the board back, powered and running, and changes nothing.
          if (f.param == 1 && !board_.plugged()) {
            for (int c = 0; c < 6; ++c) board_.SetCount(c, 0);
          }
          board_.Replug();
        }
        break;
      case FaultKind::SlowBoard:
        board_.SetSegmentMs(on ? f.param : 3);
        break;
      case FaultKind::LateTimer:
        platform_.scheduled_timers().set_late_ms(on ? f.param : 0);
        break;
      case FaultKind::BoardReset:
        if (on && f.param == 0) ResetBoard();
        if (on && f.param == 1) {
          reset_after_stop_ = true;
          stops_when_armed_ = board_.Stats().packets[kOpStopMotion];
        }
        break;
    }
  }

  // Across two stops or more with no reply between them the plug-in can only bound the
  // counts, across one only follow the way it may have cut: a reset whose new counts fall
  // inside the bounds, or on that way, is excused (the seeds are counted).
  void NoteRepliesAndStops() {
    const uint64_t handed = bus_.replies_handed();
    if (handed == replies_seen_) return;
    const auto fresh = static_cast<std::ptrdiff_t>(
        std::min<uint64_t>(handed - replies_seen_, bus_.received().size()));
    replies_seen_ = handed;
    // Only a whole answer to a status request shows the plug-in the board's counts: an answer
    // to a query, one cut short or one whose sequence a fault changed shows it nothing.
    std::optional<sim::StatusSnapshot> answered;
    const auto& received = bus_.received();
    for (auto it = received.rbegin(); it != received.rbegin() + fresh && !answered; ++it) {
      answered = StatusShown(*it);
    }
    if (!answered) return;
    const uint64_t stops = board_.Stats().packets[kOpStopMotion];
    if (reset_awaits_reply_ &&
        (stops - stops_at_reply_ >= 2 || CountsOnWayOneStopCut() || LossWithinSegmentInHand())) {
      invariants_.NoteResetCountsCannotTell();
      tool_books_.Unjudge();
    }
    reset_awaits_reply_ = false;
    // The plug-in knows the board as the last reply handed to it found it: the counts and
    // stops when the board answered, and the segments that left its queue since then (the
    // reply took a while to cross the wire, and the board ran on meanwhile).
    if (answered->segments_left < left_from_) return;  // an older answer
    stops_at_reply_ = answered->stops;
    counts_at_reply_ = answered->counts;
    whole_at_reply_ = answered->whole_counts;
    ForgetSegmentsBefore(answered->segments_left);
  }

  // The board as `reply` showed it, if it is a status the plug-in can read: long enough, and
  // carrying the counts the board answered that request with.
  std::optional<sim::StatusSnapshot> StatusShown(const LoggedPacket& reply) {
    constexpr size_t kCountsAt = DeviceLink::kReplyHeaderSize + 2;
    if (reply.size <
        static_cast<int>(DeviceLink::kReplyHeaderSize + DeviceLink::kStatusPayloadSize)) {
      return std::nullopt;
    }
    std::optional<sim::StatusSnapshot> answered =
        board_.StatusFor(static_cast<uint16_t>(reply.bytes[1] | reply.bytes[2] << 8));
    if (!answered) return std::nullopt;
    for (size_t c = 0; c < 6; ++c) {
      int32_t count = 0;
      ReadLittleEndian(reply.bytes.data() + kCountsAt + 4 * c, 4, count);
      if (count != answered->counts[c]) return std::nullopt;
    }
    return answered;
  }

  void ForgetSegmentsBefore(uint64_t index) {
    if (index <= left_from_) return;
    const uint64_t gone = std::min<uint64_t>(index - left_from_, left_since_reply_.size());
    left_since_reply_.erase(left_since_reply_.begin(),
                            left_since_reply_.begin() + static_cast<std::ptrdiff_t>(gone));
    left_from_ = index;
    if (index >= segments_seen_) left_overflowed_ = false;
  }

  bool Counted(size_t channel) const {
    return (world_.habits.counted_channels >> channel & 1) != 0;
  }

  void NoteSegmentLeft(const sim::ExecutedSegment& s) {
    const uint64_t index = segments_seen_++;
    if (index < left_from_) return;  // it left before the board's last answer
    if (left_since_reply_.size() >= kLeftKept) {
      left_overflowed_ = true;
      return;
    }
    // The ways below are walked by the counts: a channel the board does not count stays put.
    sim::ExecutedSegment counted = s;
    for (size_t c = 0; c < 6; ++c) {
      if (!Counted(c)) counted.steps[c] = counted.ran[c] = 0;
    }
    left_since_reply_.push_back(counted);
  }

  // Since the last reply the board ran some segments and one stop cleared the rest of what it
  // held, and nothing ran after the stop. A stop may cut the board anywhere on that way (into
  // a segment too), so a reset whose counts of 0 lie on it, on every channel at the same
  // point, looks like a board the stop cut there: the counts cannot tell them apart.
  bool ResetOnWayStopCut() {
    if (board_.Stats().packets[kOpStopMotion] - stops_at_reply_ != 1 || left_overflowed_) {
      return false;
    }
    bool stopped_seen = false;
    for (const sim::ExecutedSegment& s : left_since_reply_) {
      if (s.fate == sim::SegmentFate::kStopped) {
        stopped_seen = true;
      } else if (s.fate != sim::SegmentFate::kRan || stopped_seen) {
        return false;  // lost otherwise, or ran after the stop: another way
      }
    }
    // Without a segment the stop cleared, what ran may as well have run after it, unless its
    // record was read before the board took the stop: then the stop came behind all of it and
    // may, for all the counts tell, have cut it anywhere.
    if (!stopped_seen) {
      for (const sim::ExecutedSegment& s : left_since_reply_) {
        if (s.stops != stops_at_reply_) return false;
      }
    }
    std::array<int64_t, 6> at{};
    for (size_t c = 0; c < 6; ++c) at[c] = whole_at_reply_[c];
    for (const sim::ExecutedSegment& s : left_since_reply_) {
      bool zero_inside = true;
      for (size_t c = 0; c < 6; ++c) {
        const int64_t end = at[c] + s.steps[c];
        zero_inside = zero_inside && std::min(at[c], end) <= 0 && std::max(at[c], end) >= 0;
        at[c] = end;
      }
      if (zero_inside) return true;
    }
    return false;
  }

  // Since the last reply the board took one stop, and a reset came before it or after it. The
  // plug-in takes the counts for those of a board that ran on from the last reply to some
  // point of what was delivered before the stop (into a segment too), and then all that was
  // consumed after it, the queue a reset dropped included. Counts after the reset that lie
  // there, on every channel at the same point, cannot tell it from a board the stop cut there.
  bool CountsOnWayOneStopCut() {
    const uint64_t stops = board_.Stats().packets[kOpStopMotion];
    if (stops - stops_at_reply_ != 1 || left_overflowed_) return false;
    std::array<int64_t, 6> target{};
    for (size_t c = 0; c < 6; ++c) target[c] = board_.Counts()[c];
    for (const sim::ExecutedSegment& s : left_since_reply_) {
      if (s.fate != sim::SegmentFate::kRan && s.fate != sim::SegmentFate::kReset &&
          s.fate != sim::SegmentFate::kStopped) {
        return false;
      }
      if (s.stops != stops) continue;
      if (s.fate == sim::SegmentFate::kStopped) return false;
      for (size_t c = 0; c < 6; ++c) target[c] -= s.steps[c];
    }
    std::array<int64_t, 6> at{};
    for (size_t c = 0; c < 6; ++c) at[c] = whole_at_reply_[c];
    if (at == target) return true;
    for (const sim::ExecutedSegment& s : left_since_reply_) {
      if (s.stops == stops) break;
      bool inside = true;
      for (size_t c = 0; c < 6; ++c) {
        const int64_t end = at[c] + s.steps[c];
        inside = inside && std::min(at[c], end) <= target[c] && std::max(at[c], end) >= target[c];
        at[c] = end;
      }
      if (inside) return true;
    }
    return false;
  }

  // The plug-in judges each channel's count within the segment the board holds in hand, as a
  // board may count a segment's channels out at rates of its own. A reset that lost fewer
  // steps than one segment the board ran since carries on every channel it lost steps on looks,
  // at the reply after it, like a board partway through that segment; a stop before the board
  // comes to rest then takes the counts as they are.
  bool LossWithinSegmentInHand() {
    if (left_overflowed_ || reset_at_segment_ < left_from_) return false;
    const auto first = static_cast<size_t>(reset_at_segment_ - left_from_);
    for (size_t i = first; i < left_since_reply_.size(); ++i) {
      const sim::ExecutedSegment& s = left_since_reply_[i];
      if (s.fate != sim::SegmentFate::kRan) continue;
      bool covers = true;
      for (size_t c = 0; c < 6 && covers; ++c) {
        covers = std::llabs(reset_lost_[c]) <= std::abs(s.steps[c]);
      }
      if (covers) return true;
    }
    return false;
  }

  // Since the last reply the board took two stops or more: each cut what it held anywhere,
  // so the counts a reply would show lie within bounds, channel by channel (any prefix of what
  // left the queue between one stop and the next, and all it ran after the last, with
  // `unplugged`, the queue the unplug dropped). Whether counts of 0 fall within them.
  bool ZeroWithinStopBounds(const std::array<int64_t, 6>& unplugged) {
    const uint64_t stops = board_.Stats().packets[kOpStopMotion];
    if (stops - stops_at_reply_ < 2 || left_overflowed_) return false;
    std::array<int64_t, 6> low{}, high{}, fixed = unplugged, run{}, lo{}, hi{};
    uint64_t interval = stops_at_reply_;
    const auto close = [&] {
      for (size_t c = 0; c < 6; ++c) {
        low[c] += lo[c];
        high[c] += hi[c];
      }
      run.fill(0);
      lo.fill(0);
      hi.fill(0);
    };
    for (const sim::ExecutedSegment& s : left_since_reply_) {
      if (s.fate == sim::SegmentFate::kOverflowed) continue;
      if (s.fate == sim::SegmentFate::kReset || s.stops < interval) return false;
      for (; interval < s.stops; ++interval) close();
      for (size_t c = 0; c < 6; ++c) {
        if (interval == stops) {
          fixed[c] += s.steps[c];
          continue;
        }
        run[c] += s.steps[c];
        lo[c] = std::min(lo[c], run[c]);
        hi[c] = std::max(hi[c], run[c]);
      }
    }
    if (interval < stops) close();
    for (size_t c = 0; c < 6; ++c) {
      const int64_t target = -int64_t{whole_at_reply_[c]} - fixed[c];
      if (target < low[c] || target > high[c]) return false;
    }
    return true;
  }

  // The board unplugged loses its power as well: it comes back with counts of 0. Where the
  // queue it dropped would have ended them there, the replies show just what a powered board
  // that ran on through the drop would show; where stops since the last reply leave bounds
  // that hold 0, or one may have cut the board's way there, they show a board the stops cut
  // there. The loss is excused (counted), and the frame set anew.
  void NotePowerLoss(const std::array<int64_t, 6>& dropped_before) {
    const sim::ChannelSteps counts = board_.Counts();
    const std::array<int64_t, 6> dropped = board_.Stats().steps_unplugged;
    bool lost = false, ends_where_queue_would = true;
    std::array<int64_t, 6> queue{};
    for (size_t c = 0; c < 6; ++c) {
      queue[c] = Counted(c) ? dropped[c] - dropped_before[c] : 0;
      lost = lost || counts[c] != 0 || queue[c] != 0;
      ends_where_queue_would = ends_where_queue_would && counts[c] + queue[c] == 0;
    }
    if (!lost) return;
    // The way one stop may have cut holds no queue the unplug dropped after it.
    const bool on_way = queue == std::array<int64_t, 6>{} && ResetOnWayStopCut();
    if (!ends_where_queue_would && !ZeroWithinStopBounds(queue) && !on_way) return;
    books_.ExcuseUnplugLosses();
    tool_books_.Unjudge();
    power_loss_untellable_ = true;
  }

  // A board that held steps or counts loses them: the plug-in must see it from the replies.
  void ResetBoard() {
    reset_awaits_reply_ = true;
    // The plug-in must tell the reset from its replies; the invariants judge whether it did.
    tool_books_.Unjudge();
    const sim::ChannelSteps counts = board_.Counts();
    // Behind a stop, a reset to the counts the last reply showed looks like a stop that came
    // before the board ran anything more: the counts cannot tell them apart.
    books_.Observe();  // the segments that left the queue up to now, for the way below
    const bool looks_cut_by_stop = (board_.Stats().packets[kOpStopMotion] != stops_at_reply_ &&
                                    counts_at_reply_ == sim::ChannelSteps{}) ||
                                   ResetOnWayStopCut();
    // Then what ran since that reply may as well have been cut, and be sent again.
    if (looks_cut_by_stop) {
      for (const sim::ExecutedSegment& s : left_since_reply_) {
        if (s.fate == sim::SegmentFate::kRan) books_.ExcuseRunAgain(s.tag);
      }
    }
    const std::array<int64_t, 6> dropped = board_.Stats().steps_reset;
    const size_t replies = board_.QueuedReplies();
    board_.Reset();
    const std::array<int64_t, 6> now_dropped = board_.Stats().steps_reset;
    bool lost = false;
    // Counts that restart at 0 where the queue it lost would have ended them: the replies show
    // just what a board that ran it all would show.
    bool ends_where_queue_would = true;
    reset_at_segment_ = segments_seen_;
    for (size_t c = 0; c < 6; ++c) {
      // Steps on a channel the board does not count move nothing it could lose.
      reset_lost_[c] = Counted(c) ? int64_t{counts[c]} + now_dropped[c] - dropped[c] : 0;
      lost = lost || reset_lost_[c] != 0 || counts[c] != 0;
      ends_where_queue_would = ends_where_queue_would && reset_lost_[c] == 0;
    }
    invariants_.NoteBoardReset(lost, replies);
    if (ends_where_queue_would) books_.ExcuseResetLosses();
    if (looks_cut_by_stop || ends_where_queue_would) invariants_.NoteResetCountsCannotTell();
  }

  uint64_t replies_seen_ = 0;
  uint64_t stalled_closes_seen_ = 0;
  uint64_t stops_at_reply_ = 0;  // the stops the board had taken at the last reply handed over
  sim::ChannelSteps counts_at_reply_{};  // and its counts then
  // Its counts at the start of the segment it held in hand (the ways below walk segments from
  // there): its counts but for what they showed of that segment.
  sim::ChannelSteps whole_at_reply_{};
  // The segments that left the board's queue since then (run or dropped), oldest first.
  static constexpr size_t kLeftKept = 8192;
  std::vector<sim::ExecutedSegment> left_since_reply_;
  uint64_t left_from_ = 0;      // the board's running index of left_since_reply_'s first
  uint64_t segments_seen_ = 0;  // segments the books have read from the board so far
  // The last reset: the steps by channel it took from the counts the plug-in expects (its
  // counts and the queue it dropped), and the index of the first segment to leave after it.
  std::array<int64_t, 6> reset_lost_{};
  uint64_t reset_at_segment_ = 0;
  bool left_overflowed_ = false;
  bool reset_awaits_reply_ = false;
  bool power_loss_untellable_ = false;  // see NotePowerLoss
  bool reset_after_stop_ = false;
  bool drop_in_resync_done_ = false;
  bool in_update_ = false;  // see Preempt
  bool drop_running_done_ = false;
  uint32_t replug_at_ = 0;  // the drop in a resynchronisation ends
  uint64_t stops_when_armed_ = 0;

  const World& world_;
  const SeedOptions& options_;
  FakeClock clock_;
  Rng rng_;
  TraceHash hash_;
  sim::BoardSimulator board_;
  FaultyBus bus_;
  ChaosPlatform platform_;
  PluginContext ctx_;
  ChaosHost host_;
  Invariants invariants_;
  IntentBooks books_{ctx_, board_};
  StopChecks stops_{ctx_};
  ReplyBooks replies_{ctx_};
  ToolBooks tool_books_{world_, ctx_, host_, board_, books_};
  std::vector<int> events_;
  int32_t last_state_ = -1;
  bool estop_ticked_ = false;        // the E-stop as the last tick body found it
  uint32_t program_stops_seen_ = 0;  // the link's own program stops so far
  uint32_t final_home_deadline_ = 0;
  uint32_t final_home_started_ = 0;
  bool final_home_tried_ = false;
  uint32_t program_done_at_ = 0;  // since when the host's program has been drained
  uint32_t settle1_at_ = 0;
  uint32_t look_from_ = 0;      // when the plug-in is first looked at before the settling stop
  bool judge_ = false;          // a program still streaming is stopped unjudged
  int32_t consumer_seen_ = -1;  // the host's consumer index, and when it last moved
  uint32_t consumer_moved_at_ = 0;
  int last_link_flags_ = -1;
  uint32_t abandoned_at_ = 0;  // the last time a write given up on was still pending
  Violation own_violation_;
};

}  // namespace

SeedResult RunWorld(const World& world, const SeedOptions& options) {
  // A context with its rings is too large for a thread's stack.
  auto run = std::make_unique<SeedRun>(world, options);
  return run->Run();
}

}  // namespace vaskel::chaos
