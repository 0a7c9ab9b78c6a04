#include <gtest/gtest.h>

#include <cmath>

#include "motion_fixture.h"

namespace vaskel::testing {
namespace {

class StateMachine : public MotionTest {
 protected:
  void Tick() { motion().MotionStep(); }
  int StopsSent() { return CountOpcode(TakePackets(), kOpStop); }
  void SetHomeInput(int axis, bool active) {
    const size_t record = 3 * static_cast<size_t>(axis) + 2;
    engine().Store<uint8_t>(input_signal::Offset(record, input_signal::kEnabled), 1);
    engine().Store<uint8_t>(input_signal::Offset(record, input_signal::kPort), 1);
    engine().Store<int8_t>(input_signal::Offset(record, input_signal::kPin), int8_t(10 + axis));
    ctx.link().set_input_word_for_test(active ? 1u << (9 + axis) : 0u);
    motion().ScanInputs();
  }
  void SetFill(int32_t fill) { ctx.link().set_status_for_test(fill, true); }
};

TEST_F(StateMachine, EStopInRunningAbortsOnceThenHolds) {
  PushHost(20);
  BacklashQueue& q = motion().backlash_queue();
  q.open_index = 5;
  q.closing_index = 4;
  q.retire_index = 3;
  engine().Set(engine::kEStopActive, true);
  Tick();
  EXPECT_EQ(engine().Get(engine::kTrajConsumerIndex), engine().Get(engine::kTrajProducerIndex));
  EXPECT_TRUE(planner().Get(planner::kFlushPartial));
  EXPECT_EQ(q.open_index.load() + q.closing_index.load() + q.retire_index.load(), 0u);
  const auto packets = TakePackets();
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0][0], kOpStop);
  EXPECT_EQ(packets[0][1] | packets[0][2] | packets[0][3] | packets[0][4], 0);
  EXPECT_EQ(motion().state(), kHalted);

  engine().Set(engine::kPluginMotionActive, true);
  for (int i = 0; i < 3; ++i) Tick();
  EXPECT_TRUE(TakePackets().empty());
  EXPECT_EQ(motion().state(), kHalted);
  EXPECT_FALSE(engine().Get(engine::kPluginMotionActive));
  EXPECT_TRUE(engine().Get(engine::kPositionsChanged));

  engine().Set(engine::kEStopActive, false);
  Tick();
  EXPECT_EQ(motion().state(), kRunning);
}

TEST_F(StateMachine, HaltedWaitsForTheBoardAndDropsAHomeRequest) {
  motion().set_state(kHalted);
  motion().Home(2);
  SetFill(2);
  Tick();
  EXPECT_EQ(motion().state(), kHalted);
  EXPECT_FALSE(engine().Get(engine::kPositionsChanged));
  EXPECT_TRUE(motion().home_requested());
  SetFill(1);
  Tick();
  EXPECT_EQ(motion().state(), kRunning);
  EXPECT_FALSE(motion().home_requested());
}

TEST_F(StateMachine, DrainedNeedsLowFillAndAnEmptyOrSuspendedSource) {
  SetFill(2);
  EXPECT_FALSE(motion().IsDeviceDrained());
  SetFill(1);
  EXPECT_TRUE(motion().IsDeviceDrained());
  PushHost(1);
  EXPECT_FALSE(motion().IsDeviceDrained());
  motion().set_source_suspended(kHostTrajectory, true);
  EXPECT_TRUE(motion().IsDeviceDrained());
  motion().SelectSource(kJogRing);
  EXPECT_TRUE(motion().IsDeviceDrained());
}

TEST_F(StateMachine, StopNotificationDiscardsSendsOneStopAndDrains) {
  PushHost(20);
  ctx.Notify(-1);
  EXPECT_EQ(HostPending(), 0);
  EXPECT_EQ(motion().state(), kStopRequested);
  EXPECT_EQ(motion().resume_state(), 0);
  Tick();
  EXPECT_EQ(StopsSent(), 1);
  EXPECT_EQ(motion().state(), kStopDraining);
  SetFill(9);
  Tick();
  EXPECT_EQ(motion().state(), kStopDraining);
  SetFill(0);
  Tick();
  EXPECT_EQ(motion().state(), kRunning);
  EXPECT_TRUE(TakePackets().empty());
}

TEST_F(StateMachine, RepeatedStopStillEndsTheJogItInterrupted) {
  engine().Set(engine::kPluginMotionActive, true);
  motion().SelectSource(kJogRing);
  motion().set_state(kJogging);
  ctx.Notify(-1);
  ctx.Notify(-1);
  Tick();
  EXPECT_EQ(motion().state(), kStopDraining);
  ctx.Notify(-1);  // and once more while the board drains
  Tick();
  Tick();
  EXPECT_EQ(motion().state(), kRunning);
  EXPECT_FALSE(engine().Get(engine::kPluginMotionActive));
  EXPECT_EQ(StopsSent(), 2);
}

TEST_F(StateMachine, EStopAfterARefusedJogDropsTheHostQueueAndRecovers) {
  PushHost(3);
  Tick();
  ctx.JogOn(0, 0, 0);  // refused: the host queue is not empty
  ASSERT_EQ(motion().state(), kRunning);
  engine().Set(engine::kEStopActive, true);
  Tick();
  EXPECT_EQ(motion().state(), kHalted);
  EXPECT_EQ(HostPending(), 0);
  engine().Set(engine::kEStopActive, false);
  Tick();
  EXPECT_EQ(motion().state(), kRunning);
}

TEST_F(StateMachine, StopDuringADwellEndsTheDwell) {
  ctx.DoDwell(10.0);
  ASSERT_EQ(motion().state(), kDwelling);
  ctx.Notify(-1);
  Tick();
  EXPECT_EQ(motion().state(), kStopDraining);
  EXPECT_EQ(engine().Get(engine::kDwellActive), 1);
  Tick();
  EXPECT_EQ(motion().state(), kRunning);
  EXPECT_EQ(engine().Get(engine::kDwellActive), 0);
  EXPECT_EQ(StopsSent(), 1);
}

TEST_F(StateMachine, DwellEndsAcrossTheTickCountWrap) {
  platform.clock_.SetTickCountMs(0xFFFFFFFFu - 295u);  // 296 ms before the wrap
  ctx.DoDwell(0.5);
  EXPECT_EQ(motion().dwell_end_tick(), 204u);
  Tick();
  platform.clock_.AdvanceMs(290);
  Tick();
  EXPECT_EQ(motion().state(), kDwelling);
  platform.clock_.SetTickCountMs(203);
  Tick();
  EXPECT_EQ(motion().state(), kDwelling);
  EXPECT_EQ(engine().Get(engine::kDwellActive), 1);
  platform.clock_.SetTickCountMs(204);
  Tick();
  EXPECT_EQ(motion().state(), kRunning);
  EXPECT_EQ(engine().Get(engine::kDwellActive), 0);
}

TEST_F(StateMachine, DwellUnitsAndBadTimes) {
  platform.clock_.SetTickCountMs(1000);
  planner().Set(planner::kDwellInMilliseconds, true);
  ctx.DoDwell(1.5);
  EXPECT_EQ(motion().dwell_end_tick(), 1001u);
  planner().Set(planner::kDwellInMilliseconds, false);
  ctx.DoDwell(1.5);
  EXPECT_EQ(motion().dwell_end_tick(), 2500u);
  ctx.DoDwell(std::nan(""));  // no time at all: ends at the next tick
  Tick();
  EXPECT_EQ(motion().state(), kRunning);
}

TEST_F(StateMachine, HomeSwitchFoundReversesAtHalfSpeedWithAFloorOfOne) {
  const struct {
    double before, after;
  } cases[] = {{1.5, -1.0}, {-40.0, 20.0}, {-1.0, 1.0}, {0.0, -1.0}};
  for (const auto& c : cases) {
    motion().set_homing_axis(2);
    motion().ramps().active_set()[2].TargetVelocity = c.before;
    motion().set_state(kHomeSwitchFound);
    SetFill(5);
    Tick();
    EXPECT_EQ(motion().ramps().active_set()[2].TargetVelocity, c.after) << c.before;
    EXPECT_EQ(motion().state(), kAwaitingSignal);
    EXPECT_EQ(motion().pending_signal_state(), kHomeSwitchReleased);
    EXPECT_EQ(motion().awaited_signal(), motion().home_switches().ReleasedByte(2));
  }
}

// The home stays active, bit 56 and all, until the axis is referenced; the reference waits
// for a reply to a status request sent after the home's stop, whatever older replies say.
TEST_F(StateMachine, HomeRunsFromRequestToReference) {
  planner().Set(planner::kHomingSignalWord, ~uint64_t{0});
  SetFill(5);
  motion().Home(1);
  Tick();
  ASSERT_EQ(motion().state(), kAwaitingSignal);
  EXPECT_TRUE(engine().Get(engine::kHomingActive));
  EXPECT_FALSE(motion().home_requested());
  EXPECT_EQ(motion().homing_axis(), 1);
  EXPECT_EQ(motion().pending_signal_state(), kHomeSwitchFound);
  EXPECT_EQ(motion().awaited_signal(), motion().home_switches().ActiveByte(1));

  // Switch already closed at the next tick: found, reversed and awaiting release in one tick.
  SetHomeInput(1, true);
  Tick();
  EXPECT_EQ(motion().state(), kAwaitingSignal);
  EXPECT_EQ(motion().pending_signal_state(), kHomeSwitchReleased);

  const int32_t before_stop = ctx.link().sequence_counter();
  ctx.link().SendStatusRequest();
  SetHomeInput(1, false);
  Tick();
  EXPECT_EQ(motion().state(), kHomeSwitchReleased);
  EXPECT_EQ(motion().pending_signal_state(), MotionEngine::kNoSignalState);
  EXPECT_EQ(StopsSent(), 1);
  auto still_homing = [&] {
    EXPECT_EQ(motion().state(), kHomeSwitchReleased);
    EXPECT_TRUE(engine().Get(engine::kHomingActive));
    EXPECT_EQ(planner().Get(planner::kHomingSignalWord), ~uint64_t{0});
    EXPECT_FALSE(engine().Get(engine::kAxisReferenced[1]));
  };
  still_homing();
  AnswerStatus(before_stop, 0);  // answers a request older than the stop
  Tick();
  still_homing();

  AnswerStatusRequest(0);
  ctx.link().set_board_count_for_test(1, 1234);
  motion().backlash_queue().open_index = 1;  // a take-up the board has not executed yet
  Tick();
  still_homing();
  motion().backlash_queue().open_index = 0;
  engine().Set(engine::kAxisPosition[1], 1234);  // as the last reply left the DRO
  Tick();
  EXPECT_EQ(motion().state(), kRunning);
  EXPECT_TRUE(engine().Get(engine::kAxisReferenced[1]));
  EXPECT_EQ(ctx.link().axis_offset(1), -1234);
  // The host reads the positions on PositionsChanged: the axis reads 0 before the next reply.
  EXPECT_EQ(engine().Get(engine::kAxisPosition[1]), 0);
  EXPECT_EQ(planner().Get(planner::kHomingSignalWord), ~(uint64_t{1} << 56));
  EXPECT_FALSE(engine().Get(engine::kHomingActive));
  EXPECT_TRUE(engine().Get(engine::kPositionsChanged));
  EXPECT_EQ(StopsSent(), 0);
}

TEST_F(StateMachine, AbortOfASeekingHomeDropsItsFlags) {
  planner().Set(planner::kHomingSignalWord, ~uint64_t{0});
  engine().Set(engine::kAxisReferenced[0], true);
  SetFill(5);
  motion().Home(0);
  Tick();
  ASSERT_EQ(motion().state(), kAwaitingSignal);
  ctx.Notify(10);
  EXPECT_EQ(motion().state(), kHalted);
  EXPECT_FALSE(engine().Get(engine::kHomingActive));
  EXPECT_FALSE(engine().Get(engine::kAxisReferenced[0]));
  EXPECT_EQ(planner().Get(planner::kHomingSignalWord), ~(uint64_t{1} << 56));
  EXPECT_EQ(StopsSent(), 1);
}

// A jog homes nothing: its abort leaves every reference, and the homing signals, as they were.
TEST_F(StateMachine, AbortInJoggingKeepsEveryReference) {
  planner().Set(planner::kHomingSignalWord, ~uint64_t{0});
  engine().Set(engine::kAxisReferenced[0], true);
  engine().Set(engine::kAxisReferenced[3], true);
  engine().Set(engine::kPluginMotionActive, true);
  motion().SelectSource(kJogRing);
  motion().set_state(kJogging);
  motion().Abort();
  EXPECT_EQ(motion().state(), kJogging);  // Abort leaves the state to its caller
  EXPECT_TRUE(engine().Get(engine::kAxisReferenced[0]));
  EXPECT_TRUE(engine().Get(engine::kAxisReferenced[3]));
  EXPECT_EQ(planner().Get(planner::kHomingSignalWord), ~uint64_t{0});
  EXPECT_FALSE(engine().Get(engine::kPluginMotionActive));
  EXPECT_EQ(motion().segment_source(), kHostTrajectory);
  EXPECT_EQ(StopsSent(), 1);
}

// Whatever the state, an abort drops the host's queue: Halted waits on nothing the host
// queued meanwhile, and none of it runs later.
TEST_F(StateMachine, AbortInAnyStateDropsTheHostQueueAndSendsStop) {
  for (int32_t s : {kHalted, kDwelling, kStopRequested, kStopDraining, kHomeSwitchReleased}) {
    PushHost(3);
    planner().Set(planner::kFlushPartial, false);
    motion().set_state(s);
    motion().Abort();
    EXPECT_EQ(motion().state(), s);
    EXPECT_EQ(HostPending(), 0);
    EXPECT_TRUE(planner().Get(planner::kFlushPartial));
    EXPECT_EQ(StopsSent(), 1);
  }
}

TEST_F(StateMachine, ProbeTripStopsAndReturnsWhenDrained) {
  uint8_t* probe =
      engine().ByteAt(input_signal::Offset(engine::kProbeInput, input_signal::kActive));
  engine().Set(engine::kProbeActive, true);
  motion().set_awaited_signal(probe);
  motion().set_pending_signal_state(kProbeTripped);
  motion().set_state(kAwaitingSignal);
  SetFill(4);
  Tick();
  EXPECT_EQ(motion().state(), kAwaitingSignal);
  *probe = 1;
  Tick();
  EXPECT_EQ(motion().state(), kProbeTripped);
  EXPECT_EQ(StopsSent(), 1);
  Tick();
  EXPECT_EQ(motion().state(), kProbeTripped);
  EXPECT_TRUE(engine().Get(engine::kProbeActive));  // the host reads the position once it drops
  SetFill(0);
  Tick();
  EXPECT_EQ(motion().state(), kRunning);
  EXPECT_FALSE(engine().Get(engine::kProbeActive));
}

TEST_F(StateMachine, SignalWithNoPendingStateReturnsToRunning) {
  uint8_t byte = 1;
  motion().set_awaited_signal(&byte);
  motion().set_pending_signal_state(MotionEngine::kNoSignalState);
  motion().set_state(kAwaitingSignal);
  Tick();
  EXPECT_EQ(motion().state(), kRunning);
}

TEST_F(StateMachine, StopDuringTakeUpActsWhenTheTakeUpFinishes) {
  motion().set_state(kBacklashTakeUp);
  motion().set_resume_state(kRunning);
  ctx.Notify(-1);
  EXPECT_EQ(motion().state(), kBacklashTakeUp);
  EXPECT_EQ(motion().resume_state(), kStopRequested);
  Tick();
  EXPECT_EQ(motion().state(), kStopDraining);
  EXPECT_EQ(motion().resume_state(), 0);
  EXPECT_EQ(StopsSent(), 1);
}

TEST_F(StateMachine, AbortOfATakeUpReleasesTheSuspendedSource) {
  motion().set_source_suspended(kHostTrajectory, true);
  motion().SelectSource(kBacklashRing);
  motion().set_state(kBacklashTakeUp);
  motion().set_resume_state(kRunning);
  engine().Set(engine::kEStopActive, true);
  Tick();
  EXPECT_EQ(motion().state(), kHalted);
  EXPECT_FALSE(motion().source_suspended(kHostTrajectory));
  EXPECT_EQ(motion().segment_source(), kHostTrajectory);
  engine().Set(engine::kEStopActive, false);
  Tick();
  PushHost(7);
  Tick();
  // The abort stopped the ramps, which leaves FlushPartial set: the seven go out in one packet,
  // then the empty packet and the padded packets of the pass.
  EXPECT_EQ(CountOpcode(TakePackets(), kOpMotion), 5);
}

TEST_F(StateMachine, JogOnOnlyFromRunningOrJogging) {
  for (int32_t s : {kDwelling, kAwaitingSignal, kHalted, kStopDraining, kProbeTripped}) {
    motion().set_state(s);
    ctx.messages().Raise(0);
    ctx.JogOn(0, 0, 10.0);
    EXPECT_EQ(ctx.messages().index(), kMsgJogNotAllowed);
    EXPECT_EQ(StatusText(), "Jog function can't be enabled while homing, probing or dwell!");
    EXPECT_EQ(motion().state(), s);
  }
  motion().set_state(kRunning);
  ctx.JogOn(0, 0, 10.0);
  EXPECT_EQ(motion().state(), kJogging);
}

TEST_F(StateMachine, StartOfMoveCheckRefusalsAndAcceptance) {
  engine().Set(engine::kEStopActive, true);
  EXPECT_FALSE(motion().StartOfMoveCheck());
  EXPECT_EQ(StatusText(), "moving while at estop state is illegal!");
  engine().Set(engine::kEStopActive, false);
  engine().Set(engine::kEngineOffline, true);
  EXPECT_FALSE(motion().StartOfMoveCheck());
  EXPECT_EQ(StatusText(), "engine offline!");
  engine().Set(engine::kEngineOffline, false);
  PushHost(1);
  planner().Set(planner::kFlushPartial, true);
  EXPECT_FALSE(motion().StartOfMoveCheck());
  EXPECT_EQ(StatusText(), "Vornex queue is not empty, unable to start jog!");
  EXPECT_TRUE(planner().Get(planner::kFlushPartial));
  EXPECT_EQ(motion().segment_source(), kHostTrajectory);

  // A take-up may move with host segments queued, and keeps its own ring.
  motion().set_state(kBacklashTakeUp);
  motion().SelectSource(kBacklashRing);
  EXPECT_TRUE(motion().StartOfMoveCheck());
  EXPECT_EQ(motion().segment_source(), kBacklashRing);

  motion().set_state(kRunning);
  engine().Set(engine::kTrajConsumerIndex, engine().Get(engine::kTrajProducerIndex));
  motion().SelectSource(kHostTrajectory);
  planner().Set(planner::kFlushPartial, true);
  EXPECT_TRUE(motion().StartOfMoveCheck());
  // The host's word on its own stream stays as the host left it.
  EXPECT_TRUE(planner().Get(planner::kFlushPartial));
  EXPECT_TRUE(engine().Get(engine::kPluginMotionActive));
  EXPECT_EQ(motion().segment_source(), kJogRing);
}

TEST_F(StateMachine, MotionResetSelectsTheHostAndEmptiesTheBacklashQueue) {
  motion().SelectSource(kBacklashRing);
  motion().backlash_queue().open_index = 9;
  motion().set_state(kDwelling);
  ctx.PostInitControl();
  EXPECT_EQ(motion().segment_source(), kHostTrajectory);
  EXPECT_EQ(motion().ramps().active(), kJogRing);
  EXPECT_EQ(motion().backlash_queue().open_index.load(), 0u);
  EXPECT_EQ(motion().state(), kDwelling);
}

// A stop asked for while halted still ends with what Halted would have done once drained.
TEST_F(StateMachine, StopWhileHaltedStillCleansUpAsHalted) {
  SetFill(5);
  engine().Set(engine::kEStopActive, true);
  Tick();
  ASSERT_EQ(motion().state(), kHalted);
  engine().Set(engine::kEStopActive, false);
  engine().Set(engine::kPluginMotionActive, true);
  ctx.Home(0);
  ctx.Notify(-1);
  Tick();
  ASSERT_EQ(motion().state(), kStopDraining);
  SetFill(0);
  engine().Set(engine::kPositionsChanged, false);
  Tick();
  EXPECT_EQ(motion().state(), kRunning);
  EXPECT_FALSE(engine().Get(engine::kPluginMotionActive));
  EXPECT_TRUE(engine().Get(engine::kPositionsChanged));
  EXPECT_FALSE(motion().home_requested());
  Tick();
  EXPECT_EQ(motion().state(), kRunning);  // no home started from the dropped request
}

// A dwell or a probe asked for before the stop command went out follows it.
TEST_F(StateMachine, DwellOrProbeDuringAStopRequestLetsTheStopGoFirst) {
  ctx.Notify(-1);
  ctx.DoDwell(0.05);
  EXPECT_EQ(motion().state(), kStopRequested);
  EXPECT_EQ(engine().Get(engine::kDwellActive), 1);
  Tick();
  EXPECT_EQ(StopsSent(), 1);
  EXPECT_EQ(motion().state(), kDwelling);
  platform.clock_.AdvanceMs(50);
  Tick();
  ASSERT_EQ(motion().state(), kRunning);

  engine().Store<uint8_t>(input_signal::Offset(engine::kProbeInput, input_signal::kEnabled), 1);
  ctx.Notify(-1);
  ctx.Probe();
  for (int i = 0; i < 1100; ++i) {
    platform.clock_.AdvanceMs(1);
    platform.workers_.Pump();
  }
  EXPECT_EQ(motion().state(), kStopRequested);
  Tick();
  EXPECT_EQ(StopsSent(), 1);
  platform.workers_.Pump();
  EXPECT_EQ(motion().state(), kAwaitingSignal);
}

// A stop or an abort during the probe's start delay ends the probe: no move starts after it,
// and the host learns the probe is over. A probe asked for after the stop still runs.
TEST_F(StateMachine, AStopDuringAProbesStartDelayCancelsTheProbe) {
  engine().Store<uint8_t>(input_signal::Offset(engine::kProbeInput, input_signal::kEnabled), 1);
  auto probe_then = [&](auto interrupt) {
    engine().Set(engine::kProbeActive, true);
    engine().Set(engine::kProbeRunning, 1);
    ctx.Probe();
    for (int i = 0; i < 500; ++i) {
      platform.clock_.AdvanceMs(1);
      platform.workers_.Pump();
    }
    interrupt();
    for (int i = 0; i < 1000; ++i) {
      platform.clock_.AdvanceMs(1);
      platform.workers_.Pump();
      Tick();
    }
    EXPECT_EQ(platform.workers_.live(), 0u);
    EXPECT_FALSE(engine().Get(engine::kProbeActive));
    EXPECT_EQ(engine().Get(engine::kProbeRunning), 0);
    EXPECT_NE(motion().state(), kAwaitingSignal);
  };
  probe_then([&] { ctx.Notify(-1); });
  EXPECT_EQ(motion().state(), kRunning);
  probe_then([&] { ctx.Notify(10); });
  probe_then([&] {  // an E-stop pressed and released again within the delay
    engine().Set(engine::kEStopActive, true);
    Tick();
    engine().Set(engine::kEStopActive, false);
  });
  probe_then([&] {  // the same while the link is down and the state machine waits
    ctx.link().set_status_for_test(0, false);
    engine().Set(engine::kEStopActive, true);
    ctx.TickBody();
    engine().Set(engine::kEStopActive, false);
    ctx.TickBody();
    ctx.link().set_status_for_test(0, true);
  });
}

}  // namespace
}  // namespace vaskel::testing
