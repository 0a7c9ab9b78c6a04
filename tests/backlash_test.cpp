// Backlash take-up through the tick: reversal detection, the take-up moves from the backlash
// ring, the record queue status processing reads, and the take-up's interplay with stops,
// aborts and dwells.
#include <gtest/gtest.h>

#include <algorithm>

#include "motion_fixture.h"
#include "sim/board/segment_decode.h"

namespace vaskel::testing {
namespace {

constexpr int32_t kAmount = 50;
constexpr int32_t kSixStepsPerSegment = 409600;  // 2 units/s at 1000 steps per unit

class BacklashTest : public MotionTest {
 protected:
  BacklashTest() {
    for (size_t a = 0; a < 6; ++a) {
      planner().Set(planner::kStepsPerUnit[a], 1000.0);
      planner().Set(planner::kAxisAcceleration[a], 1000.0);
    }
    motion().RecomputeAccelSteps();  // the jog set's, as the host's settings notification does
    engine().Set(engine::kBacklashEnabled, true);
    SetBacklash(0, kAmount);
    planner().Set(planner::kFlushPartial, true);  // single entries go out at once
  }
  void SetBacklash(int axis, int32_t amount, int32_t speed = kSixStepsPerSegment) {
    engine().Set(engine::kBacklashAmount[axis], amount);
    engine().Set(engine::kBacklashSpeed[axis], speed);
  }
  Backlash& backlash() { return motion().backlash(); }
  BacklashQueue& queue() { return motion().backlash_queue(); }

  // One tick; what it sent is added to `moved` and its packets kept in `sent`.
  void Tick() {
    motion().MotionStep();
    for (const Packet& p : TakePackets()) {
      sent.push_back(p);
      if (p[0] != kOpMotion) continue;
      for (int k = 0; k < 7; ++k) {
        const sim::ChannelSteps s = sim::DecodeSegment(p.data() + 1 + 9 * k);
        for (int a = 0; a < 6; ++a) moved[a] += s[a];
      }
    }
  }
  // Ticks until the state is `state` (at most `max` ticks); false if it never is.
  bool TickUntil(int32_t state, int max = 200) {
    for (int i = 0; i < max; ++i) {
      Tick();
      if (motion().state() == state) return true;
    }
    return false;
  }
  // Takes up a negative reversal of axis 0 to the end.
  void TakeUpNegative() {
    PushHostCounts({-3, 0, 0, 0, 0, 0});
    ASSERT_TRUE(TickUntil(kRunning));
    ASSERT_EQ(HostPending(), 0);
  }

  std::array<int64_t, 6> moved{};
  std::vector<Packet> sent;
};

TEST_F(BacklashTest, ReversalHoldsTheEntryUntilItsTakeUpHasRun) {
  PushHostCounts({-3, 0, 0, 0, 0, 0});
  Tick();
  EXPECT_EQ(motion().state(), kBacklashTakeUp);
  EXPECT_EQ(motion().resume_state(), kRunning);
  EXPECT_TRUE(engine().Get(engine::kBacklashActive));
  EXPECT_TRUE(motion().source_suspended(kHostTrajectory));
  EXPECT_EQ(HostPending(), 1);  // held at the consumer index
  EXPECT_EQ(backlash().last_direction(0), -1.0);
  ASSERT_EQ(queue().open_index.load(), 1u);
  const uint32_t start = queue().records[0].start_marker.load();
  EXPECT_EQ(queue().records[0].end_marker.load(), 0u);
  // Only take-up steps have gone out so far.
  EXPECT_GE(moved[0], -kAmount);

  ASSERT_TRUE(TickUntil(kRunning));
  EXPECT_EQ(moved[0], -kAmount - 3);
  EXPECT_EQ(moved[1] | moved[2] | moved[3] | moved[4] | moved[5], 0);
  EXPECT_EQ(HostPending(), 0);
  EXPECT_FALSE(engine().Get(engine::kBacklashActive));
  EXPECT_FALSE(motion().source_suspended(kHostTrajectory));
  EXPECT_EQ(motion().resume_state(), 0);
  const BacklashRecord& r = queue().records[0];
  EXPECT_EQ(r.correction[0].load(), kAmount);
  for (int a = 1; a < 6; ++a) EXPECT_EQ(r.correction[a].load(), 0);
  EXPECT_GT(r.end_marker.load(), start);
  EXPECT_EQ(queue().closing_index.load(), 1u);

  // The same direction again passes straight through.
  PushHostCounts({-4, 0, 0, 0, 0, 0});
  Tick();
  EXPECT_EQ(motion().state(), kRunning);
  EXPECT_EQ(HostPending(), 0);
  EXPECT_EQ(queue().open_index.load(), 1u);
  EXPECT_EQ(moved[0], -kAmount - 7);
}

// A resynchronisation that finds the board ran every step of a take-up but lost the empty tail
// behind it (and the reversing entry): the take-up is made, not made again when the entry goes
// out again, or the tool would travel the play twice.
TEST_F(BacklashTest, ARewindBehindATakeUpsLastStepKeepsTheTakeUpMade) {
  PushHostCounts({-3, 0, 0, 0, 0, 0});
  ASSERT_TRUE(TickUntil(kRunning));
  const BacklashRecord& r = queue().records[0];
  const uint32_t steps_end = r.steps_end_marker[0].load();
  ASSERT_LT(steps_end, r.end_marker.load());  // the take-up's tail moved nothing
  const int32_t offset_before = ctx.link().axis_offset(0);
  motion().RewindSelectedSource(static_cast<int32_t>(motion().SegmentsSent() - steps_end));
  EXPECT_EQ(ctx.link().axis_offset(0), offset_before + kAmount);
  EXPECT_EQ(backlash().last_direction(0), -1.0);
  moved.fill(0);
  ASSERT_TRUE(TickUntil(kRunning));
  EXPECT_EQ(moved[0], -3);  // the entry again, no second take-up
  EXPECT_TRUE(queue().empty());
}

// The same while the take-up still runs: its last step has gone out but the ramp's empty tail
// waits in the ring. The play is taken up all the same.
TEST_F(BacklashTest, ARewindBehindASlowTakeUpsLastStepKeepsItMadeThoughItsTailWaits) {
  planner().Set(planner::kAxisAcceleration[0], 20.0);
  motion().RecomputeAccelSteps();
  motion().set_max_packets_per_pass(1);  // the ring runs ahead of the stream
  PushHostCounts({-3, 0, 0, 0, 0, 0});
  const SegmentRing& ring = motion().ramps().backlash_ring();
  int ticks = 0;
  while (moved[0] != -kAmount && ticks++ < 400) Tick();
  ASSERT_EQ(moved[0], -kAmount);
  ASSERT_EQ(motion().state(), kBacklashTakeUp);
  ASSERT_GT(ring.Pending(), 0);
  const int32_t offset_before = ctx.link().axis_offset(0);
  motion().RewindSelectedSource(0);
  EXPECT_EQ(ctx.link().axis_offset(0), offset_before + kAmount);
  EXPECT_EQ(backlash().last_direction(0), -1.0);
  moved.fill(0);
  ASSERT_TRUE(TickUntil(kRunning, 400));
  EXPECT_EQ(moved[0], -3);  // the entry, no second take-up
  EXPECT_TRUE(queue().empty());
}

TEST_F(BacklashTest, FirstMoveAfterResetTakesUpOnlyWhenNegative) {
  PushHostCounts({5, 0, 0, 0, 0, 0});
  Tick();
  EXPECT_EQ(motion().state(), kRunning);
  EXPECT_EQ(moved[0], 5);
  EXPECT_EQ(queue().open_index.load(), 0u);
  PushHostCounts({-5, 0, 0, 0, 0, 0});
  Tick();
  EXPECT_EQ(motion().state(), kBacklashTakeUp);
}

TEST_F(BacklashTest, FractionOfAStepReversesAlthoughItEncodesAsZero) {
  TakeUpNegative();
  PushHostCounts({0.4, 0, 0, 0, 0, 0});
  Tick();
  EXPECT_EQ(motion().state(), kBacklashTakeUp);
  EXPECT_EQ(backlash().last_direction(0), 1.0);
  ASSERT_TRUE(TickUntil(kRunning));
  EXPECT_EQ(queue().records[1].correction[0].load(), -kAmount);
  EXPECT_EQ(moved[0], -kAmount - 3 + kAmount);
}

TEST_F(BacklashTest, TwoAxesShareOneRecordAndTakeUpInAxisOrder) {
  SetBacklash(2, 30);
  PushHostCounts({-1, 0, -1, 0, 0, 0});
  Tick();
  ASSERT_EQ(motion().state(), kBacklashTakeUp);
  EXPECT_TRUE(backlash().take_up_pending(2));
  const RampSet& ramps = motion().ramps().backlash_ramps();
  // Axis 2 starts only when axis 0's segments have left the backlash ring.
  while (motion().state() == kBacklashTakeUp && backlash().take_up_pending(2)) {
    EXPECT_EQ(ramps[2].Mode, kRampIdle);
    Tick();
  }
  EXPECT_EQ(moved[0], -kAmount);
  ASSERT_TRUE(TickUntil(kRunning));
  EXPECT_EQ(moved[0], -kAmount - 1);
  EXPECT_EQ(moved[2], -30 - 1);
  EXPECT_EQ(queue().open_index.load(), 1u);
  EXPECT_EQ(queue().records[0].correction[0].load(), kAmount);
  EXPECT_EQ(queue().records[0].correction[2].load(), 30);
}

TEST_F(BacklashTest, UncompensatedAxesKeepTheirDirection) {
  engine().Set(engine::kBacklashEnabled, false);
  PushHostCounts({-3, 0, 0, 0, 0, 0});
  Tick();
  EXPECT_EQ(motion().state(), kRunning);
  EXPECT_EQ(backlash().last_direction(0), 1.0);
  // Switched on later, compensation compares against the older direction.
  engine().Set(engine::kBacklashEnabled, true);
  PushHostCounts({3, 0, 0, 0, 0, 0});
  Tick();
  EXPECT_EQ(motion().state(), kRunning);
  // An axis that is not enabled, or has no amount, is never taken up.
  engine().Set(engine::kAxisEnabled[0], false);
  SetBacklash(1, 0);
  PushHostCounts({-3, -3, 0, 0, 0, 0});
  Tick();
  EXPECT_EQ(motion().state(), kRunning);
  EXPECT_EQ(backlash().last_direction(0), 1.0);
  EXPECT_EQ(backlash().last_direction(1), 1.0);
}

// More segments than one generator pass holds: the take-up still moves its whole amount.
TEST_F(BacklashTest, LongTakeUpRunsItsWholeDistance) {
  SetBacklash(0, 700, 204800);  // 3 steps per segment, over 230 segments
  TakeUpNegative();
  EXPECT_EQ(moved[0], -703);
  EXPECT_EQ(queue().records[0].correction[0].load(), 700);
}

TEST_F(BacklashTest, TakeUpOfTheJogRingResumesTheJog) {
  planner().Set(planner::kAxisVelocity[0], 2.0);
  planner().Set(planner::kFlushPartial, false);
  engine().Set(engine::kTrajConsumerIndex, 0);
  ctx.JogOn(0, 1, 0);  // negative: the first jog segment with steps reverses
  ASSERT_TRUE(TickUntil(kBacklashTakeUp));
  EXPECT_EQ(motion().resume_state(), kJogging);
  EXPECT_EQ(backlash().interrupted_source(), kJogRing);
  ASSERT_TRUE(TickUntil(kJogging));
  EXPECT_EQ(motion().segment_source(), kJogRing);
  EXPECT_TRUE(engine().Get(engine::kPluginMotionActive));
  ctx.JogOff(0);
  ASSERT_TRUE(TickUntil(kRunning));
  // Every jog step went out after the take-up's 50.
  EXPECT_LT(moved[0], -kAmount);
  EXPECT_EQ(queue().records[0].correction[0].load(), kAmount);
}

// A stop asked for during a take-up cuts it at once and goes out in the next tick, however much
// of it is left to generate: a slow take-up must not hold the stop back. No reply can show the
// take-up run before the stop cuts it, so its record is dropped and the axis turns back to its
// direction before it; the next reversal takes up the whole amount again.
TEST_F(BacklashTest, StopDuringTakeUpCutsItAtOnceAndDropsItsRecord) {
  SetBacklash(0, 300);
  PushHostCounts({-3, 0, 0, 0, 0, 0});
  Tick();
  ASSERT_EQ(motion().state(), kBacklashTakeUp);
  const int32_t generated = moved[0];
  ctx.Notify(-1);
  EXPECT_EQ(motion().state(), kStopRequested);
  AnswerStatusRequest(5);  // the board is still behind the take-up
  Tick();
  EXPECT_EQ(motion().state(), kStopDraining);
  EXPECT_EQ(CountOpcode(sent, kOpStop), 1);
  EXPECT_EQ(sent.back()[0], kOpStop);
  EXPECT_EQ(moved[0], generated);  // nothing more of it, nor the held entry, went out
  EXPECT_GT(moved[0], -300);
  EXPECT_TRUE(queue().empty());
  EXPECT_EQ(backlash().last_direction(0), 1.0);
  EXPECT_FALSE(engine().Get(engine::kBacklashActive));
  // After the stop the board's fill is 0; nothing is left to retire as if it had run.
  const int32_t offset_before = ctx.link().axis_offset(0);
  AnswerStatusRequest(0);
  Tick();
  EXPECT_EQ(motion().state(), kRunning);
  EXPECT_EQ(ctx.link().axis_offset(0), offset_before);
}

TEST_F(BacklashTest, ProbeWorkerWaitsForATakeUpToFinish) {
  engine().Store<uint8_t>(input_signal::Offset(engine::kProbeInput, input_signal::kEnabled), 1);
  PushHostCounts({-3, 0, 0, 0, 0, 0});
  Tick();
  ctx.Probe();
  for (int i = 0; i < 1100; ++i) {
    platform.clock_.AdvanceMs(1);
    platform.workers_.Pump();
  }
  EXPECT_EQ(motion().state(), kBacklashTakeUp);
  EXPECT_EQ(platform.workers_.live(), 1u);
  ASSERT_TRUE(TickUntil(kRunning));
  platform.workers_.Pump();
  EXPECT_EQ(motion().state(), kAwaitingSignal);
  EXPECT_EQ(platform.workers_.live(), 0u);
}

// The take-up would otherwise hold the interrupted stream and BacklashActive for ever.
TEST_F(BacklashTest, AbortDuringTakeUpReleasesItAndStreamingResumes) {
  PushHostCounts({-3, 0, 0, 0, 0, 0});
  PushHostCounts({-3, 0, 0, 0, 0, 0});
  Tick();
  ASSERT_EQ(motion().state(), kBacklashTakeUp);
  ctx.Notify(10);
  EXPECT_EQ(motion().state(), kHalted);
  EXPECT_FALSE(engine().Get(engine::kBacklashActive));
  EXPECT_FALSE(motion().source_suspended(kHostTrajectory));
  EXPECT_FALSE(backlash().take_up_in_progress());
  EXPECT_EQ(HostPending(), 0);  // the interrupted stream ends with the take-up
  EXPECT_EQ(queue().open_index.load(), 0u);
  Tick();
  ASSERT_EQ(motion().state(), kRunning);
  // The board never made the aborted take-up: the axis is still in its old direction, and
  // the next negative move takes it up, in a record of its own from slot 0 again.
  PushHostCounts({4, 0, 0, 0, 0, 0});
  Tick();
  ASSERT_EQ(motion().state(), kRunning);
  PushHostCounts({-4, 0, 0, 0, 0, 0});
  Tick();
  ASSERT_EQ(motion().state(), kBacklashTakeUp);
  ASSERT_TRUE(TickUntil(kRunning));
  EXPECT_EQ(HostPending(), 0);
  EXPECT_EQ(queue().open_index.load(), 1u);
  EXPECT_EQ(queue().closing_index.load(), 1u);
  EXPECT_EQ(queue().records[0].correction[0].load(), kAmount);
  EXPECT_NE(queue().records[0].end_marker.load(), 0u);
}

TEST_F(BacklashTest, AbortDuringAJogsTakeUpStopsTheJog) {
  planner().Set(planner::kAxisVelocity[0], 2.0);
  ctx.JogOn(0, 1, 0);
  ASSERT_TRUE(TickUntil(kBacklashTakeUp));
  engine().Set(engine::kEStopActive, true);
  Tick();
  EXPECT_EQ(motion().state(), kHalted);
  EXPECT_EQ(motion().ramps().jog_ramps()[0].Mode, kRampIdle);
  EXPECT_EQ(motion().PendingEntries(kJogRing), 0);
  EXPECT_FALSE(engine().Get(engine::kPluginMotionActive));
  engine().Set(engine::kEStopActive, false);
  Tick();
  EXPECT_EQ(motion().state(), kRunning);
}

// The reversing entry then takes up the play with the tool standing still: the host's position
// must not count those steps either.
TEST_F(BacklashTest, RefusedTakeUpMoveStillCorrectsForThePlay) {
  PushHostCounts({-3, 0, 0, 0, 0, 0});
  engine().Set(engine::kEngineOffline, true);
  Tick();
  ASSERT_TRUE(TickUntil(kRunning));
  EXPECT_EQ(ctx.messages().index(), kMsgEngineOffline);
  EXPECT_EQ(moved[0], -3);
  EXPECT_EQ(queue().records[0].correction[0].load(), kAmount);
  EXPECT_NE(queue().records[0].end_marker.load(), 0u);
}

TEST_F(BacklashTest, StopThenEStopDuringTakeUpEndsHalted) {
  SetBacklash(1, 20);
  PushHostCounts({-3, -3, 0, 0, 0, 0});
  Tick();
  ctx.Notify(-1);
  engine().Set(engine::kEStopActive, true);
  Tick();
  // The abort's stop command serves the stop held for after the take-up: held on, it would
  // wake a take-up over Halted and drain past Halted's clean-up.
  EXPECT_EQ(motion().state(), kHalted);
  EXPECT_EQ(motion().resume_state(), 0);
  EXPECT_GE(CountOpcode(sent, kOpStop), 1);
  Tick();
  EXPECT_EQ(motion().state(), kHalted);
  for (int i = 0; i < 3; ++i) Tick();
  EXPECT_EQ(motion().state(), kHalted);
  EXPECT_FALSE(engine().Get(engine::kBacklashActive));
  engine().Set(engine::kEStopActive, false);
  Tick();
  EXPECT_EQ(motion().state(), kRunning);
}

// The link's program stop (a lost position) during a take-up that holds a stop: Halted's
// clean-up must run, or the host goes on seeing plug-in motion.
TEST_F(BacklashTest, ProgramStopDuringTakeUpWithAHeldStopRunsHaltedCleanUp) {
  SetBacklash(1, 20);
  PushHostCounts({-3, -3, 0, 0, 0, 0});
  Tick();
  ctx.Notify(-1);
  ASSERT_EQ(motion().state(), kStopRequested);
  engine().Set(engine::kPluginMotionActive, true);
  motion().AbortAndHalt();
  EXPECT_EQ(motion().resume_state(), 0);
  ASSERT_TRUE(TickUntil(kRunning));
  EXPECT_FALSE(engine().Get(engine::kPluginMotionActive));
  EXPECT_FALSE(engine().Get(engine::kBacklashActive));
}

TEST_F(BacklashTest, DwellAskedForDuringATakeUpFollowsIt) {
  PushHostCounts({-3, 0, 0, 0, 0, 0});
  Tick();
  ctx.DoDwell(0.1);
  EXPECT_EQ(motion().state(), kBacklashTakeUp);
  EXPECT_EQ(engine().Get(engine::kDwellActive), 1);
  ASSERT_TRUE(TickUntil(kDwelling));
  EXPECT_FALSE(engine().Get(engine::kBacklashActive));
  platform.clock_.AdvanceMs(100);
  Tick();
  EXPECT_EQ(motion().state(), kRunning);
  EXPECT_EQ(engine().Get(engine::kDwellActive), 0);
}

// A stop, then a dwell, both asked for while a jog's take-up runs: the stop cuts the take-up
// and the dwell takes over from its drain, so the jog is over and the host must not go on
// seeing plug-in motion.
TEST_F(BacklashTest, DwellOverAHeldStopDuringAJogsTakeUpEndsTheJog) {
  planner().Set(planner::kAxisVelocity[0], 2.0);
  ctx.JogOn(0, 1, 0);
  ASSERT_TRUE(TickUntil(kBacklashTakeUp));
  ctx.Notify(-1);  // cuts the take-up at once
  ctx.DoDwell(0.1);
  ASSERT_TRUE(TickUntil(kDwelling));
  platform.clock_.AdvanceMs(100);
  ASSERT_TRUE(TickUntil(kRunning));
  EXPECT_FALSE(engine().Get(engine::kPluginMotionActive));
  EXPECT_EQ(engine().Get(engine::kDwellActive), 0);
  EXPECT_EQ(motion().segment_source(), kHostTrajectory);
  EXPECT_EQ(motion().ramps().jog_ramps()[0].Mode, kRampIdle);
}

// The reversing entry found in slot 2: the slots after it go out empty, the entry stays at the
// consumer index, and the rest of the pass draws on the still empty backlash ring.
TEST_F(BacklashTest, ReversalInTheMiddleOfAPacketHoldsTheRestOfIt) {
  PushHostCounts({1, 0, 0, 0, 0, 0});
  PushHostCounts({2, 0, 0, 0, 0, 0});
  PushHostCounts({-3, 0, 0, 0, 0, 0});
  for (int i = 0; i < 20; ++i) PushHostCounts({-1, 0, 0, 0, 0, 0});
  const int32_t first = engine().Get(engine::kTrajConsumerIndex);
  Tick();
  EXPECT_EQ(motion().state(), kBacklashTakeUp);
  EXPECT_EQ(engine().Get(engine::kTrajConsumerIndex), first + 2);
  // 23 pending when the pass began: three packets, the last two all empty.
  ASSERT_EQ(CountOpcode(sent, kOpMotion), 3);
  EXPECT_EQ(Axis0Steps(sent[0], 0), 1);
  EXPECT_EQ(Axis0Steps(sent[0], 1), 2);
  for (size_t p = 0; p < sent.size(); ++p) {
    for (int k = p == 0 ? 2 : 0; k < 7; ++k) EXPECT_TRUE(SegmentIsEmpty(sent[p], k)) << p << k;
  }
  ASSERT_TRUE(TickUntil(kRunning));
  EXPECT_EQ(moved[0], 1 + 2 - kAmount - 3 - 20);
}

// BacklashSpeed is in units of 1/204800 unit per second: 1024000 is 5 units/s, 15 steps a
// segment at 1000 steps per unit.
TEST_F(BacklashTest, TakeUpRunsAtItsSpeedOver204800) {
  SetBacklash(0, 600, 1024000);
  PushHostCounts({-3, 0, 0, 0, 0, 0});
  ASSERT_TRUE(TickUntil(kRunning));
  int fastest = 0;
  for (const Packet& p : sent) {
    if (p[0] != kOpMotion) continue;
    for (int k = 0; k < 7; ++k) fastest = std::max(fastest, Axis0Steps(p, k));
  }
  EXPECT_EQ(fastest, 15);
  EXPECT_EQ(moved[0], -600 - 3);
}

// A take-up that interrupted the host stream leaves the backlash set current; a changed
// acceleration must still reach the jog ramps.
TEST_F(BacklashTest, AccelerationNotificationReachesTheJogRampsAfterATakeUp) {
  TakeUpNegative();
  planner().Set(planner::kAxisAcceleration[0], 2000.0);
  ctx.Notify(6);
  EXPECT_DOUBLE_EQ(motion().ramps().jog_ramps()[0].AccelStep, 2000.0 * 1000.0 * 9e-6 / 2);
}

// The take-up borrows FlushPartial for its own tail; the host's stream it resumes must not go
// out padded with empty segments because of it.
TEST_F(BacklashTest, TakeUpLeavesTheHostsFlushPartialAsItWas) {
  planner().Set(planner::kFlushPartial, false);
  PushHostCounts({-3, 0, 0, 0, 0, 0});
  for (int i = 0; i < 9; ++i) PushHostCounts({-1, 0, 0, 0, 0, 0});
  ASSERT_TRUE(TickUntil(kRunning));
  EXPECT_FALSE(planner().Get(planner::kFlushPartial));
  // Ten entries: one packet of seven went out, three wait for more.
  EXPECT_EQ(HostPending(), 3);
}

}  // namespace
}  // namespace vaskel::testing
