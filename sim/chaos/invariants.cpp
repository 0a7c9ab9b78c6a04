#include "sim/chaos/invariants.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <utility>

#include "sim/board/segment_decode.h"

namespace vaskel::chaos {
namespace {

std::string Format(const char* fmt, long long a = 0, long long b = 0, long long c = 0) {
  char text[200];
  std::snprintf(text, sizeof text, fmt, a, b, c);
  return text;
}

bool MovesAnything(const uint8_t* slot) {
  for (int k = 0; k < sim::kSegmentsPerPacket; ++k) {
    const sim::ChannelSteps s = sim::DecodeSegment(slot + 1 + sim::kSegmentBytes * k);
    for (int32_t v : s) {
      if (v != 0) return true;
    }
  }
  return false;
}

// States whose tick may stream the host's queue; with no plug-in ramp running, that is all
// they stream.
bool StreamsHostEntries(int32_t state) {
  return state == kRunning || state == kJogging || state == kAwaitingSignal;
}

}  // namespace

// The host's queue is the one being streamed, and the plug-in's own rings hold nothing (a
// jog's tail is flushed with empty segments by rule).
bool Invariants::OnlyHostEntries() {
  MotionEngine& motion = ctx_.motion();
  return motion.segment_source() == kHostTrajectory && motion.PendingEntries(kJogRing) == 0 &&
         motion.PendingEntries(kBacklashRing) == 0;
}

std::array<int32_t, 3> Invariants::Consumers() {
  RampGenerator& ramps = ctx_.motion().ramps();
  return {host_.blocks().engine.Get(engine::kTrajConsumerIndex), ramps.jog_ring().consumer.load(),
          ramps.backlash_ring().consumer.load()};
}

void Invariants::Fail(const std::string& invariant, const std::string& detail) {
  if (failed()) return;
  violation_.invariant = invariant;
  violation_.detail = detail;
  violation_.time_ms = ctx_.platform().clock().TickCountMs();
}

uint16_t Invariants::RampsRunning() {
  RampGenerator& ramps = ctx_.motion().ramps();
  uint16_t bits = 0;
  for (size_t a = 0; a < ramps.jog_ramps().size(); ++a) {
    if (ramps.jog_ramps()[a].Mode != kRampIdle) bits |= 1u << a;
    if (ramps.backlash_ramps()[a].Mode != kRampIdle) bits |= 1u << (8 + a);
  }
  return bits;
}

void Invariants::BeforeStep(StepKind kind) {
  const HostBlock& e = host_.blocks().engine;
  estop_before_ = e.Get(engine::kEStopActive);
  dwelling_before_ = ctx_.motion().state() == kDwelling;
  bodies_before_ = ctx_.tick().bodies_run;
  status_sequence_before_ = ctx_.link().last_status_sequence();
  offline_before_ = e.Get(engine::kEngineOffline) != 0;
  ramps_running_before_ = RampsRunning();
  DeviceLink& link = ctx_.link();
  running_before_ = link.link_running();
  BacklashQueue& q = ctx_.motion().backlash_queue();
  retire_before_ = q.retire_index.load();
  open_before_ = q.open_index.load();
  for (int a = 0; a < 6; ++a) offsets_before_[a] = link.axis_offset(a);
  link_starts_before_ = link.link_starts();
  resync_before_ = link.resync_pending();
  connected_before_ = link.device_connected();
  owed_before_ = link.rewind_owed_for_test();
  rewinds_before_ = link.rewind_count();
  programs_stopped_before_ =
      link.unmeasured_resyncs() + link.position_lost_resyncs() + link.resume_unknown_stops();
  MotionEngine& motion = ctx_.motion();
  contour_tick_ = kind == StepKind::Tick && !host_.flush_intent() &&
                  host_.QueuedSegments() >= MotionEngine::kSegmentsPerPacket &&
                  !ramps_since_flush_write_ && StreamsHostEntries(motion.state()) &&
                  !e.Get(engine::kBacklashActive) && OnlyHostEntries();
  consumers_before_ = Consumers();
  if (kind == StepKind::Update && !link.device_connected()) {
    // A link start resets the send ring: what waits there is dropped, by rule.
    PacketRing& ring = link.send_ring();
    ring_before_ = {};
    for (int32_t i = 0, at = ring.read_index(); i < ring.count(); ++i, ++at) {
      const uint8_t* slot = ring.SlotAt(at);
      if (slot[0] == kOpMotionSegments) sim::AddPacketSteps(slot + 1, ring_before_);
    }
    ring_count_before_ = ring.count();
    // So is a motion packet the sender took from it and holds unwritten.
    if (const uint8_t* held = link.held_packet_for_test(); held && held[0] == kOpMotionSegments) {
      sim::AddPacketSteps(held + 1, ring_before_);
    }
  } else {
    ring_count_before_ = -1;
  }
}

void Invariants::ScanCommits(bool ring_reset) {
  PacketRing& ring = ctx_.link().send_ring();
  const int32_t now = ring.write_index();
  const int32_t from = ring_reset ? 0 : send_write_seen_;
  for (int32_t i = from; i != now; i = (i + 1) & (PacketRing::kSlots - 1)) {
    const uint8_t* slot = ring.SlotAt(i);
    if (slot[0] == kOpStopMotion) stop_owed_ = false;
    if (slot[0] == kOpMotionSegments && estop_before_ && MovesAnything(slot)) {
      Fail("safety", "a motion packet that moves was queued while E-stop was set");
    }
  }
  send_write_seen_ = now;
}

// While the host streams a contour and has not asked for a flush, every segment sent is one
// of its entries: an empty one would stand the machine still mid-contour. The one empty
// packet that follows a queue run dry is the rule's, and a reversal pads its packet for the
// take-up; an abort drops the queue.
void Invariants::CheckNoStandstill(bool ring_reset) {
  // A rewind in the step sends entries again: what was consumed no longer counts them.
  // Nor when the link stopped the program in the step: its queue went with it.
  const DeviceLink& link = ctx_.link();
  if (!contour_tick_ || ring_reset || link.rewind_count() != rewinds_before_ ||
      link.unmeasured_resyncs() + link.position_lost_resyncs() + link.resume_unknown_stops() !=
          programs_stopped_before_) {
    return;
  }
  MotionEngine& motion = ctx_.motion();
  const HostBlock& e = host_.blocks().engine;
  if (!StreamsHostEntries(motion.state()) || e.Get(engine::kBacklashActive) || !OnlyHostEntries() ||
      ctx_.motion().backlash_queue().open_index.load() != open_before_) {
    return;
  }
  PacketRing& ring = ctx_.link().send_ring();
  int32_t segments = 0;
  for (int32_t i = send_write_seen_; i != ring.write_index();
       i = (i + 1) & (PacketRing::kSlots - 1)) {
    const uint8_t op = ring.SlotAt(i)[0];
    if (op == kOpStopMotion) return;
    if (op == kOpMotionSegments) segments += MotionEngine::kSegmentsPerPacket;
  }
  // Entries of every source count: a jog's tail may still be going out from its own ring.
  const std::array<int32_t, 3> now = Consumers();
  int32_t consumed = 0;
  for (size_t k = 0; k < now.size(); ++k) consumed += (now[k] - consumers_before_[k]) & 0xfff;
  const int32_t allowed = host_.QueuedSegments() == 0 ? MotionEngine::kSegmentsPerPacket : 0;
  if (segments - consumed > allowed) {
    Fail("standstill", Format("%lld empty segments among the host's contour (%lld entries sent, "
                              "FlushPartial 0)",
                              segments - consumed, consumed));
  }
}

void Invariants::AfterStep(StepKind kind) {
  DeviceLink& link = ctx_.link();
  const HostBlock& e = host_.blocks().engine;
  // An Update on a closed link that finds the board resets the send ring (and the link may
  // have closed again before the step is over).
  const bool ring_reset = link.link_starts() != link_starts_before_;
  if (ring_reset && ring_count_before_ < 0) {
    Fail("bounds", "the send ring was reset outside a link start");
  }
  // Counted from the link start that ended the last running stretch: a connection that lost
  // its measuring replies and then gave the board its start-up stop leaves the next one
  // nothing to measure by (the stop cleared what the board held when the link went down).
  // A reply the plug-in read as its link closed is refused as the old link's: lost to it too.
  const uint64_t disturbed =
      bus_.replies_disturbed() + replies_lost_in_resets_ + link.rejected_replies();
  if (ring_reset && !outage_) disturbed_at_link_start_ = disturbed;
  if (link.link_running()) outage_ = false;
  if (running_before_ && !link.link_running()) {
    outage_ = true;
    programs_stopped_at_down_ =
        link.unmeasured_resyncs() + link.position_lost_resyncs() + link.resume_unknown_stops();
  }
  // An unmeasured resynchronisation is the answer to measuring replies that were all lost; on
  // a connection whose every reply arrived whole and in order it hides a fault.
  const bool position_lost = link.position_lost_resyncs() != position_lost_seen_;
  if (position_lost) {
    position_lost_seen_ = link.position_lost_resyncs();
    if (!board_lost_ && !fill_lied_) {
      Fail("conservation", "the board was judged to have lost its position though it lost nothing");
    }
  }
  // Also a close within the step that took the measurement (the board dropped as its reply
  // was handled): the rewind it owes cannot be settled. The connection may have begun in the
  // same step (an Update whose host thread lost the processor as it configured the board).
  if ((owed_before_ || link.rewind_owed_for_test()) && (connected_before_ || ring_reset) &&
      !link.device_connected()) {
    measurement_interrupted_ = true;
  }
  if (link.unmeasured_resyncs() != unmeasured_seen_ || position_lost) {
    if (!position_lost && disturbed == disturbed_at_link_start_ &&
        !std::exchange(measurement_interrupted_, false)) {
      Fail("conservation", "a resynchronisation went unmeasured though no reply had been lost");
    }
    unmeasured_seen_ = link.unmeasured_resyncs();
    // Nothing carries on from a guess: the host's program is over and no axis keeps its
    // reference.
    if (e.Get(engine::kTrajConsumerIndex) != e.Get(engine::kTrajProducerIndex)) {
      Fail("positions", "the host's program went on after an unmeasured resynchronisation");
    }
    for (int a = 0; a < 6; ++a) {
      if (e.Get(engine::kAxisReferenced[a])) {
        Fail("positions", Format("axis %lld kept its reference after an unmeasured "
                                 "resynchronisation",
                                 a));
      }
    }
  }
  if (ring_reset) {
    // Under a pending resynchronisation the rewind sends them again; otherwise they are lost
    // with the connection, by rule.
    if (!resync_before_) {
      for (int c = 0; c < 6; ++c) ring_reset_steps_[c] += ring_before_[c];
    }
  }
  const int32_t sent = link.send_ring().count(), got = link.receive_ring().count();
  if (sent < 0 || sent >= PacketRing::kSlots || got < 0 || got >= PacketRing::kSlots) {
    Fail("bounds", Format("a packet ring lapped: send %lld, receive %lld", sent, got));
  }
  if (link.pending_replies().pending() >= PendingReplyTable::kEntries) {
    Fail("bounds", "the pending-reply table overflowed");
  }
  if (bus_.repeated_requests() != 0) {
    Fail("conservation", "a request reached the board twice");
  }
  const bool tripped = !estop_before_ && e.Get(engine::kEStopActive) &&
                       kind != StepKind::HostCall && kind != StepKind::Update;
  const uint64_t ticks = ctx_.tick().bodies_run;
  if (tripped) {
    stop_owed_ = true;
    ticks_at_trip_ = ticks;
  }
  CheckNoStandstill(ring_reset);
  ScanCommits(ring_reset);
  if (host_.flush_writes() != flush_writes_seen_) {
    flush_writes_seen_ = host_.flush_writes();
    ramps_since_flush_write_ = false;
  }
  if (RampsRunning() != 0) ramps_since_flush_write_ = true;
  // The host's own trajectory is the host's to send; the plug-in starts no move of its own
  // (jog, home, probe, take-up) while the engine is offline or stopped.
  const uint16_t started = RampsRunning() & ~ramps_running_before_;
  if (started != 0 && (offline_before_ || estop_before_) &&
      (e.Get(engine::kEngineOffline) != 0 || e.Get(engine::kEStopActive))) {
    Fail("safety", Format("a plug-in move started (ramps %#llx) while the engine was ", started) +
                       (offline_before_ ? "offline" : "under E-stop"));
  }
  CheckProbeAfterStop(tripped, kind);
  CheckThresholds(kind);
  if (stop_owed_ && !tripped && ticks > ticks_at_trip_ + 1) {
    Fail("safety", "the plug-in set E-stop and no stop reached the send ring within a tick");
  }
  if (!e.Get(engine::kEStopActive)) stop_owed_ = false;

  // A take-up retired by a status reply moves its corrections into the offsets, once.
  BacklashQueue& q = ctx_.motion().backlash_queue();
  const uint32_t retire = q.retire_index.load(), open = q.open_index.load();
  if (kind == StepKind::Worker && running_before_ && link.link_running() &&
      retire != retire_before_ && open == open_before_ &&
      ((retire - retire_before_) & BacklashQueue::kMask) <=
          ((open - retire_before_) & BacklashQueue::kMask)) {
    std::array<int64_t, 6> want{};
    for (uint32_t r = retire_before_; r != retire; r = (r + 1) & BacklashQueue::kMask) {
      for (int a = 0; a < 6; ++a) want[a] += q.records[r].correction[a].load();
    }
    for (int a = 0; a < 6; ++a) {
      const int64_t moved = static_cast<int64_t>(link.axis_offset(a)) - offsets_before_[a];
      if (moved != want[a]) {
        Fail("positions", Format("axis %lld: a retired take-up moved the offset by %lld, not %lld",
                                 a, moved, want[a]));
      }
    }
  }
}

void Invariants::CheckThresholds(StepKind kind) {
  constexpr uint32_t kMostWriteMs = 4300;
  DeviceLink& link = ctx_.link();
  MotionEngine& motion = ctx_.motion();
  const bool body_ran = ctx_.tick().bodies_run != bodies_before_ && running_before_;
  const auto past_dwell_end =
      static_cast<int32_t>(ctx_.platform().clock().TickCountMs() - motion.dwell_end_tick());
  if (kind == StepKind::Tick && body_ran && dwelling_before_ && motion.state() == kDwelling &&
      past_dwell_end >= 0) {
    Fail("timing", Format("a dwell still ran %lld ms past its end after a tick", past_dwell_end));
  }
  // The sender gives up on a write after four whole seconds of the monotonic clock: at most
  // four seconds after it began, and a worker step later.
  if (const uint32_t age = bus_.OldestOpenWriteMs(); age > kMostWriteMs) {
    Fail("timing", Format("a write has been in flight for %lld ms and the link still waits", age));
  }
  if (bus_.early_failure_closes() != 0) {
    Fail("timing", "the link closed on fewer failed writes in a row than its rule allows");
  }
  if (kind == StepKind::Worker && link.last_status_sequence() != status_sequence_before_) {
    const bool want = link.device_fill() < link.NeedsDataLimit();
    if ((host_.blocks().planner.Get(planner::kDeviceNeedsData) != 0) != want) {
      Fail("timing", Format("DeviceNeedsData is %lld on a reply of fill %lld, the limit %lld",
                            want ? 0 : 1, link.device_fill(), link.NeedsDataLimit()));
    }
  }
}

void Invariants::CheckProbeAfterStop(bool tripped, StepKind kind) {
  const HostBlock& e = host_.blocks().engine;
  // The host's E-stop is a flag the plug-in reads at each motion tick: one raised and cleared
  // again between two ticks never reached it. One a tick found raised, where the tick before
  // had not, is a stop.
  if (kind == StepKind::Tick && ctx_.tick().bodies_run != bodies_before_) {
    const bool raised = e.Get(engine::kEStopActive) != 0;
    if (raised && !estop_at_last_tick_) ++estops_ticked_;
    estop_at_last_tick_ = raised;
  }
  const uint64_t stops = host_.stop_calls() + estops_ticked_;
  if (host_.probe_calls() != probe_calls_seen_) {
    probe_calls_seen_ = host_.probe_calls();
    probe_waiting_ = true;
    probe_stopped_ = false;
    stop_calls_seen_ = stops;
    probe_called_ms_ = ctx_.platform().clock().TickCountMs();
  }
  if (!probe_waiting_) return;
  if (stops != stop_calls_seen_ || tripped) probe_stopped_ = true;
  MotionEngine& motion = ctx_.motion();
  if (motion.state() == kAwaitingSignal && motion.pending_signal_state() == kProbeTripped) {
    if (probe_stopped_) {
      Fail("intent", "a probe asked for before a stop or E-stop started its move after it");
    }
    probe_waiting_ = false;
  } else if (!e.Get(engine::kProbeActive)) {
    probe_waiting_ = false;  // refused or cancelled: over before it began
  } else if (probe_worker_stepped_ && !probe_stopped_ && motion.state() != kBacklashTakeUp &&
             motion.state() != kStopRequested) {
    // Past its second, the worker's step starts the move unless a take-up or a stop's
    // command goes first.
    const uint32_t waited = ctx_.platform().clock().TickCountMs() - probe_called_ms_;
    if (waited >= kProbeDelayMs) {
      Fail("timing", Format("the probe's worker stepped %lld ms after the call and started "
                            "nothing",
                            waited));
    }
  }
}

std::array<int32_t, 6> Invariants::MappedBoardCounts() {
  const sim::ChannelSteps raw = bus_.board().Counts();
  const HostBlock& e = host_.blocks().engine;
  std::array<int32_t, 6> c{};
  for (int i = 0; i < 6; ++i) {
    c[i] = e.Get(engine::kAxisReversed[i])
               ? static_cast<int32_t>(0u - static_cast<uint32_t>(raw[i]))
               : raw[i];
  }
  // Channels 3 and 4 carry the first two enabled axes of 3..5; a disabled axis 3 leaves the
  // board's channel 3 on all three.
  if (!e.Get(engine::kAxisEnabled[3])) return {c[0], c[1], c[2], c[3], c[3], c[3]};
  if (e.Get(engine::kAxisEnabled[4])) return {c[0], c[1], c[2], c[3], c[4], 0};
  if (e.Get(engine::kAxisEnabled[5])) return {c[0], c[1], c[2], c[3], 0, c[4]};
  return c;
}

bool Invariants::CheckSelfSettled(bool last_look) {
  if (failed() || !ctx_.link().link_running()) return true;
  MotionEngine& motion = ctx_.motion();
  const HostBlock& e = host_.blocks().engine;
  const int32_t state = motion.state();
  // A home or probe that has not met its switch runs until the host stops it, and so does a
  // jog the settling jog-offs do not reach (an axis the machine does not enable); a limit
  // trip is the host's to clear.
  const bool seeking = (state == kAwaitingSignal || state == kJogging) && RampsRunning() != 0;
  if (seeking || (state == kHalted && e.Get(engine::kEStopActive))) return true;
  const struct {
    bool on;
    const char* name;
  } flags[] = {{e.Get(engine::kHomingActive), "HomingActive"},
               {e.Get(engine::kDwellActive) != 0, "DwellActive"},
               {e.Get(engine::kBacklashActive), "BacklashActive"},
               {e.Get(engine::kPluginMotionActive), "PluginMotionActive"}};
  const bool flag_set =
      std::any_of(std::begin(flags), std::end(flags), [](const auto& f) { return f.on; });
  // A move that has only just ended may still be draining: looked at again until the last look.
  if ((state != kRunning || flag_set) && !last_look) return false;
  if (state != kRunning) {
    Fail("liveness", Format("motion state %lld before any settling action, not Running "
                            "(ramps %#llx, board fill %lld)",
                            state, RampsRunning(), ctx_.link().device_fill()));
    return true;
  }
  for (const auto& f : flags) {
    if (f.on) Fail("liveness", std::string(f.name) + " still set before any settling action");
  }
  return true;
}

void Invariants::NoteBoardReset(bool lost, size_t replies_lost) {
  replies_lost_in_resets_ += replies_lost;
  // A reset that lost nothing leaves nothing to judge: a judgement is then a false alarm.
  if (!lost) return;
  board_lost_ = true;
  if (reset_to_catch_) return;
  reset_untellable_ = false;
  const DeviceLink& link = ctx_.link();
  const uint32_t stopped =
      link.unmeasured_resyncs() + link.position_lost_resyncs() + link.resume_unknown_stops();
  // While the link is down and has already stopped the program for a lost position, the
  // alignment to come takes the new counts as they are and no axis keeps its reference:
  // there is nothing left to catch.
  if (!link.link_running() && stopped != programs_stopped_at_down_) return;
  reset_to_catch_ = true;
  programs_stopped_at_reset_ = stopped;
}

void Invariants::CheckSettled() {
  if (failed()) return;
  DeviceLink& link = ctx_.link();
  if (reset_to_catch_ && !fill_lied_ &&
      link.unmeasured_resyncs() + link.position_lost_resyncs() + link.resume_unknown_stops() ==
          programs_stopped_at_reset_) {
    if (reset_untellable_) {
      reset_excused_ = true;
      return;
    }
    return Fail("conservation",
                "the board reset and lost what it held, and the plug-in went on as if not");
  }
  MotionEngine& motion = ctx_.motion();
  const HostBlocks& b = host_.blocks();
  if (!link.link_running()) return Fail("liveness", "the link is not running");
  // A jog that ran near a limit may carry the axis onto it while the settling stop drains
  // the board: the trip and its E-stop are then the right end, and the host's to clear.
  bool at_limit = false;
  const sim::ChannelSteps counts_now = bus_.board().Counts();
  for (const sim::MachineSwitch& sw : world_.switches) {
    at_limit |= sw.kind == sim::SwitchKind::Limit &&
                sim::MachineModel::IsActive(sw, counts_now[static_cast<size_t>(sw.axis)]);
  }
  const bool tripped_at_limit =
      at_limit && b.engine.Get(engine::kEStopActive) && motion.state() == kHalted;
  if (motion.state() != kRunning && !tripped_at_limit) {
    return Fail("liveness", Format("motion state %lld, not Running", motion.state()));
  }
  for (SegmentSourceId s : {kHostTrajectory, kJogRing, kBacklashRing}) {
    if (motion.PendingEntries(s) != 0) {
      return Fail("liveness", Format("segment source %lld still holds %lld entries", s,
                                     motion.PendingEntries(s)));
    }
  }
  const struct {
    bool on;
    const char* name;
  } flags[] = {{b.engine.Get(engine::kHomingActive), "HomingActive"},
               {b.engine.Get(engine::kDwellActive) != 0, "DwellActive"},
               {b.engine.Get(engine::kProbeActive), "ProbeActive"},
               {b.engine.Get(engine::kBacklashActive), "BacklashActive"},
               {b.engine.Get(engine::kPluginMotionActive), "PluginMotionActive"},
               {(b.planner.Get(planner::kHomingSignalWord) & ChaosHost::kHomeSignalBit) != 0,
                "HomingSignalWord bit 56"}};
  for (const auto& f : flags) {
    if (f.on) return Fail("liveness", std::string(f.name) + " is still set");
  }
  if ((b.planner.Get(planner::kHomingSignalWord) & ~ChaosHost::kHomeSignalBit) !=
      ChaosHost::kHomingWordOwnBits) {
    return Fail("bounds", "the plug-in changed bits of HomingSignalWord other than bit 56");
  }
  if (referenced_axis_ >= 0 && !b.engine.Get(engine::kAxisReferenced[referenced_axis_])) {
    return Fail("liveness", Format("the home of axis %lld, its switch within reach, did not end "
                                   "referenced",
                                   referenced_axis_));
  }
  sim::BoardSimulator& board = bus_.board();
  if (board.Fill() != 0)
    return Fail("liveness", Format("the board still holds %lld segments",
                                   static_cast<long long>(board.Fill())));
  if (link.pending_replies().pending() > 4) {
    return Fail("bounds",
                Format("%lld pending replies after quiescence", link.pending_replies().pending()));
  }
  const std::array<int32_t, 6> counts = MappedBoardCounts();
  for (int a = 0; a < 6; ++a) {
    const int32_t position = b.engine.Get(engine::kAxisPosition[a]);
    const auto want = static_cast<int32_t>(static_cast<uint32_t>(counts[a]) +
                                           static_cast<uint32_t>(link.axis_offset(a)));
    if (position != want) {
      return Fail("positions", Format("axis %lld at %lld, the board's count and offset say %lld", a,
                                      position, want));
    }
  }
  const sim::BoardStats stats = board.Stats();
  if (stats.segments_lost != 0 && !fill_lied_) {
    return Fail("bounds", Format("the board's queue overflowed (%lld segments lost)",
                                 static_cast<long long>(stats.segments_lost)));
  }
  if (stats.malformed != 0) return Fail("bounds", "the board received malformed packets");
  // A resynchronisation whose measuring replies were all lost cannot tell how far the board
  // ran (the plug-in counts those and stops the program); the books cannot balance then.
  // Nor on a lying fill, which may overfill the board or mislead a rewind: the counts cannot
  // say which steps went, the intent books excuse exactly those entries and judge the rest.
  if (world_.stream_only && !fill_lied_ && link.unmeasured_resyncs() == 0 &&
      link.position_lost_resyncs() == 0 && link.resume_unknown_stops() == 0) {
    // Every step the host queued reached the board once, but for what was dropped by rule:
    // a discard of the host's ring, the send ring reset at a link start and the motion packet
    // the sender held from the old connection (neither under a resynchronisation), a kept
    // packet that a start-up stop clears. A rewind must send again exactly what the board
    // lost; a board that lost its queue stops the program instead of resuming it shifted.
    for (int a = 0; a < 3; ++a) {
      if (!world_.axes[a].enabled) continue;
      const int64_t sign = world_.axes[a].reversed ? -1 : 1;
      const int64_t take_ups = take_up_steps_ ? (*take_up_steps_)[a] : 0;
      const int64_t executed = sign * (stats.steps_executed[a] - take_ups);
      const int64_t dropped = sign * (ring_reset_steps_[a] + bus_.kept_steps_dropped()[a]);
      if (world_.stream_backlash && dropped != 0) {
        take_up_drop_unjudged_ = true;
        continue;
      }
      const int64_t queued = host_.queued_steps()[a] - host_.discarded_steps()[a];
      if (executed + dropped != queued) {
        return Fail("conservation",
                    Format("axis %lld: the board executed %lld steps; queued less dropped is %lld",
                           a, executed, queued - dropped));
      }
    }
  }
}

}  // namespace vaskel::chaos
