#pragma once
// What must hold in every world, checked after every step of a seed. The first violation is
// kept with its name and the virtual time; the run stops there.
#include <array>
#include <cstdint>
#include <string>

#include "plugin/plugin_context.h"
#include "sim/board/board_simulator.h"
#include "sim/chaos/chaos_host.h"
#include "sim/chaos/faulty_link.h"
#include "sim/chaos/world.h"

namespace vaskel::chaos {

enum class StepKind : uint8_t { HostCall, Update, Tick, Worker };

struct Violation {
  std::string invariant;
  std::string detail;
  uint32_t time_ms = 0;
};

class Invariants {
 public:
  Invariants(const World& world, PluginContext& ctx, ChaosHost& host, FaultyBus& bus)
      : world_(world), ctx_(ctx), host_(host), bus_(bus) {}

  void BeforeStep(StepKind kind);
  void AfterStep(StepKind kind);
  // Once faults and actions are over and the quiet time has passed: the plug-in has settled.
  void CheckSettled();
  // Before the settling stop: with faults and E-stop over, everything the host need not end
  // itself has ended; only a home or probe still seeking its signal may run on.
  // True once judged; false while something that ends by itself is still ending, unless
  // this is the last look.
  bool CheckSelfSettled(bool last_look);
  void NoteFillLie() { fill_lied_ = true; }
  // The worker the next step runs is the probe's.
  void set_probe_worker_stepped(bool probe) { probe_worker_stepped_ = probe; }
  // The board lost what it held (its queue, or its counts): the plug-in may say so.
  void NoteBoardLoss() { board_lost_ = true; }
  // The board reset while connected; `lost`: it held steps or counts, so the plug-in must
  // tell from its replies and stop the program rather than let it go on shifted. The replies
  // it had not yet sent are lost with it.
  // Replies the board had queued and lost as it dropped off the bus.
  void NoteRepliesLost(size_t replies) { replies_lost_in_resets_ += replies; }
  void NoteBoardReset(bool lost, size_t replies_lost);
  // The reset came where the counts cannot tell it (see SeedRun::NoteRepliesAndStops and
  // SeedRun::ResetBoard): behind two stops with no reply between, whose bounds its new counts
  // may lie within; before or behind one, on the way that stop may have cut; or where the
  // queue it lost would have ended the counts.
  void NoteResetCountsCannotTell() { reset_untellable_ = reset_to_catch_; }
  // The check above was excused for that reason.
  bool reset_excused() const { return reset_excused_; }
  // A home set off once everything had settled, with its switch within reach.
  void ExpectReferenced(int axis) { referenced_axis_ = axis; }
  // Steps by channel that take-ups put on the board: not the host's to account for.
  void set_take_up_steps(const std::array<int64_t, 6>* steps) { take_up_steps_ = steps; }
  // The send ring was reset or a kept packet dropped under take-ups: the steps of the host's
  // entries cannot be told from the take-ups' in the dropped packets.
  bool take_up_drop_unjudged() const { return take_up_drop_unjudged_; }

  bool failed() const { return !violation_.invariant.empty(); }
  bool fill_lied() const { return fill_lied_; }
  const Violation& violation() const { return violation_; }

 private:
  void Fail(const std::string& invariant, const std::string& detail);
  void ScanCommits(bool ring_reset);
  // Padding among the host's segments where the host asked for none.
  void CheckNoStandstill(bool ring_reset);
  std::array<int32_t, 6> MappedBoardCounts();
  uint16_t RampsRunning();
  std::array<int32_t, 3> Consumers();
  bool OnlyHostEntries();
  void CheckProbeAfterStop(bool tripped, StepKind kind);
  // The rules with a threshold: a dwell ends at the first tick at or past its end, and a
  // status reply asks for data exactly while the board holds less than its buffer's worth.
  void CheckThresholds(StepKind kind);

  const World& world_;
  PluginContext& ctx_;
  ChaosHost& host_;
  FaultyBus& bus_;
  Violation violation_;

  // State seen before the step.
  bool estop_before_ = false;
  // A probe asked for whose move has not started, and whether a stop, an E-stop or a limit
  // trip has come since the call: the move must then never start.
  uint64_t probe_calls_seen_ = 0;
  uint64_t stop_calls_seen_ = 0;  // the host's stops, and E-stops a tick found raised
  uint64_t estops_ticked_ = 0;
  bool estop_at_last_tick_ = false;
  bool probe_waiting_ = false;
  bool probe_stopped_ = false;
  uint32_t probe_called_ms_ = 0;
  bool probe_worker_stepped_ = false;
  static constexpr uint32_t kProbeDelayMs = 1000;
  bool dwelling_before_ = false;
  uint64_t bodies_before_ = 0;
  int32_t status_sequence_before_ = 0;
  bool offline_before_ = false;
  uint16_t ramps_running_before_ = 0;  // a bit per jog and take-up ramp
  bool running_before_ = false;
  uint32_t retire_before_ = 0;
  uint32_t open_before_ = 0;
  std::array<int32_t, 6> offsets_before_{};
  int32_t send_write_seen_ = 0;
  bool stop_owed_ = false;  // the plug-in set E-stop; the board has not been told to stop
  uint64_t ticks_at_trip_ = 0;
  // Motion steps by channel waiting in the send ring before a host call that may start the
  // link, and those a link start dropped with the ring.
  std::array<int64_t, 6> ring_before_{};
  int32_t ring_count_before_ = -1;
  uint32_t link_starts_before_ = 0;
  bool resync_before_ = false;
  bool connected_before_ = false;
  bool owed_before_ = false;
  // The link closed while its resynchronisation waited for the counts after the stop: the
  // next one cannot measure, and says so.
  bool measurement_interrupted_ = false;
  uint64_t disturbed_at_link_start_ = 0;  // the bus's disturbed replies when the link started
  bool outage_ = false;                   // the link ran, went down, and has not run since
  uint32_t unmeasured_seen_ = 0;  // nothing runs between the step's start and a link start in it
  std::array<int64_t, 6> ring_reset_steps_{};
  bool fill_lied_ = false;
  bool board_lost_ = false;
  bool reset_to_catch_ = false;
  bool reset_untellable_ = false;
  bool reset_excused_ = false;
  uint64_t replies_lost_in_resets_ = 0;
  uint32_t programs_stopped_at_reset_ = 0;
  uint32_t programs_stopped_at_down_ = 0;  // when the link last stopped running
  uint32_t position_lost_seen_ = 0;
  uint32_t rewinds_before_ = 0;
  uint32_t programs_stopped_before_ = 0;
  int referenced_axis_ = -1;
  const std::array<int64_t, 6>* take_up_steps_ = nullptr;
  bool take_up_drop_unjudged_ = false;
  // A tick that streams only the host's contour: a packet's worth queued, the host's own
  // FlushPartial 0, and no plug-in ramp run since the host last wrote that word (a jog's or
  // take-up's end flushes by rule).
  bool contour_tick_ = false;
  std::array<int32_t, 3> consumers_before_{};  // host, jog and backlash rings
  uint64_t flush_writes_seen_ = 0;
  bool ramps_since_flush_write_ = false;
};

}  // namespace vaskel::chaos
