// The plug-in's own moves as the host asks for them: jog speeds, the home direction, the probe
// worker with its axis and sign rules.
#include <gtest/gtest.h>

#include "motion_fixture.h"

namespace vaskel::testing {
namespace {

constexpr double kStepsPerUnit = 1000.0;  // 1 unit/s = 3 steps per 3 ms segment

class MoveCommands : public MotionTest {
 protected:
  MoveCommands() {
    for (size_t a = 0; a < 6; ++a) {
      planner().Set(planner::kStepsPerUnit[a], kStepsPerUnit);
      planner().Set(planner::kAxisAcceleration[a], 1000.0);
      planner().Set(planner::kAxisVelocity[a], 10.0);
    }
    motion().RecomputeAccelSteps();
    ctx.host().setup.Set(setup::kJogPercent, 50.0);
  }
  double JogTarget(int axis) { return motion().ramps().jog_ramps()[axis].TargetVelocity; }
  void Tick() {
    motion().MotionStep();
    TakePackets();
  }
  bool TickUntil(int32_t state, int max = 500) {
    for (int i = 0; i < max; ++i) {
      Tick();
      if (motion().state() == state) return true;
    }
    return false;
  }
  // Advances virtual time a millisecond at a time, stepping the probe worker.
  void RunMs(uint32_t ms) {
    for (uint32_t i = 0; i < ms; ++i) {
      platform.clock_.AdvanceMs(1);
      platform.workers_.Pump();
    }
  }
  void EnableProbeInput() {
    engine().Store<uint8_t>(input_signal::Offset(engine::kProbeInput, input_signal::kEnabled), 1);
  }
  uint8_t* ProbeActiveByte() {
    return engine().ByteAt(input_signal::Offset(engine::kProbeInput, input_signal::kActive));
  }
  void SetProbeTarget(int axis, double target, double current = 0, double offset = 0) {
    planner().Set(planner::kProbeTarget[axis], target);
    planner().Set(planner::kAxisCurrentPosition[axis], current);
    planner().Set(planner::kAxisPositionOffset[axis], offset);
  }
};

TEST_F(MoveCommands, JogSpeedIsScaledUnlessFullSpeedOrExplicit) {
  ctx.JogOn(0, 0, 0);  // no full-speed byte lent: scaled
  EXPECT_DOUBLE_EQ(JogTarget(0), 15.0);
  EXPECT_EQ(motion().state(), kJogging);
  uint8_t full_speed = 0;
  ctx.host().window.Set(window::kJogFullSpeed, &full_speed);
  ctx.JogOn(1, 1, 0);
  EXPECT_DOUBLE_EQ(JogTarget(1), -15.0);
  full_speed = 1;
  ctx.JogOn(1, 1, 0);
  EXPECT_DOUBLE_EQ(JogTarget(1), -30.0);
  // An explicit speed is taken as it is, whatever the percentage or the full-speed byte.
  ctx.JogOn(2, 0, 2.0);
  EXPECT_DOUBLE_EQ(JogTarget(2), 6.0);
  full_speed = 0;
  ctx.JogOn(2, 0, 2.0);
  EXPECT_DOUBLE_EQ(JogTarget(2), 6.0);
  ctx.host().window.Set(window::kJogFullSpeed, static_cast<uint8_t*>(nullptr));
}

// A move the start-of-move check refuses changes nothing but the status line: no state, no
// FlushPartial written over the host's stream, no trip armed on the host's program, and a
// home asked for while the program runs never sets off later by itself.
TEST_F(MoveCommands, ARefusedMoveChangesNothingButTheMessage) {
  engine().Set(engine::kEngineOffline, true);
  ctx.JogOn(0, 0, 0);
  EXPECT_EQ(StatusText(), "engine offline!");
  EXPECT_EQ(motion().state(), kRunning);
  EXPECT_EQ(motion().ramps().jog_ramps()[0].Mode, kRampIdle);
  engine().Set(engine::kEngineOffline, false);

  constexpr char kQueueText[] = "Vornex queue is not empty, unable to start jog!";
  EnableProbeInput();
  SetProbeTarget(2, -5.0);
  planner().Set(planner::kProbePending, int32_t{1});
  engine().Set(engine::kProbeRunning, int32_t{1});
  engine().Set(engine::kProbeActive, true);
  PushHost(3);
  Tick();  // too few for a packet without FlushPartial: they wait for more
  ASSERT_EQ(HostPending(), 3);
  planner().Set(planner::kFlushPartial, false);
  ctx.Home(1);
  EXPECT_EQ(StatusText(), kQueueText);
  EXPECT_FALSE(motion().home_requested());
  ctx.JogOn(0, 0, 0);
  EXPECT_EQ(StatusText(), kQueueText);
  ctx.Probe();
  RunMs(1000);
  EXPECT_EQ(StatusText(), kQueueText);
  EXPECT_EQ(platform.workers_.live(), 0u);
  EXPECT_EQ(planner().Get(planner::kProbePending), 0);
  EXPECT_EQ(engine().Get(engine::kProbeRunning), 0);
  EXPECT_FALSE(engine().Get(engine::kProbeActive));
  *ProbeActiveByte() = 1;  // a touch of the probe is no trip of the host's program
  for (int i = 0; i < 5; ++i) Tick();
  EXPECT_EQ(motion().state(), kRunning);
  EXPECT_FALSE(planner().Get(planner::kFlushPartial));
  EXPECT_EQ(HostPending(), 3);  // still waiting for the rest of the contour, not padded
  *ProbeActiveByte() = 0;

  // A home asked for while the queue was empty, with the host queueing before it could start.
  PushHost(4);
  planner().Set(planner::kFlushPartial, true);
  ASSERT_TRUE(TickUntil(kRunning, 3));
  ASSERT_EQ(HostPending(), 0);
  ctx.Home(1);
  EXPECT_TRUE(motion().home_requested());
  PushHost(30);
  Tick();
  EXPECT_FALSE(motion().home_requested());
  EXPECT_EQ(StatusText(), kQueueText);
  for (int i = 0; i < 10; ++i) Tick();
  EXPECT_EQ(HostPending(), 0);
  EXPECT_EQ(motion().state(), kRunning);
  EXPECT_FALSE(engine().Get(engine::kHomingActive));
}

// With a segment period as long as the jog look-ahead, the look-ahead holds no whole record;
// a jog must still move and end rather than hang in Jogging with nothing generated.
TEST_F(MoveCommands, APeriodAsLongAsTheLookAheadStillMovesAndEnds) {
  planner().Set(planner::kSegmentPeriod, 0.25);
  motion().RecomputeAccelSteps();
  ctx.JogOn(0, 0, 1.0);
  ASSERT_EQ(motion().state(), kJogging);
  for (int i = 0; i < 5; ++i) Tick();
  EXPECT_GE(motion().ramps().jog_ring().consumer.load(), 7);  // at least a packet went out
  ctx.JogOff(0);
  ASSERT_TRUE(TickUntil(kRunning, 50));
  EXPECT_FALSE(engine().Get(engine::kPluginMotionActive));
}

TEST_F(MoveCommands, AxesOutsideTheMachineAreIgnored) {
  for (int16_t axis : {int16_t{-1}, int16_t{6}, int16_t{32767}}) {
    ctx.JogOn(axis, 0, 1.0);
    EXPECT_EQ(motion().state(), kRunning);
    ctx.JogOff(axis);
    ctx.Home(axis);
    EXPECT_FALSE(motion().home_requested());
  }
  EXPECT_EQ(ctx.messages().index(), 0);
}

TEST_F(MoveCommands, JogRunsUntilJogOffAndLandsOnZero) {
  ctx.JogOn(0, 0, 0);
  for (int i = 0; i < 20; ++i) Tick();
  EXPECT_EQ(motion().state(), kJogging);
  EXPECT_DOUBLE_EQ(motion().ramps().jog_ramps()[0].Velocity, 15.0);
  ctx.JogOff(0);
  ASSERT_TRUE(TickUntil(kRunning));
  const AxisRamp& r = motion().ramps().jog_ramps()[0];
  EXPECT_EQ(r.Velocity, 0);
  EXPECT_EQ(r.Mode, kRampIdle);
  EXPECT_FALSE(engine().Get(engine::kPluginMotionActive));
}

TEST_F(MoveCommands, HomeDirectionFollowsReversalAndHomeDirection) {
  planner().Set(planner::kHomeSpeedPercent[1], 100);  // half of AxisVelocity: 15 steps
  const struct {
    bool reversed, home_direction;
    double target;
  } cases[] = {{false, false, -15}, {true, false, 15}, {false, true, 15}, {true, true, -15}};
  for (const auto& c : cases) {
    engine().Set(engine::kAxisReversed[1], c.reversed);
    planner().Set(planner::kHomeDirection[1], c.home_direction);
    motion().Home(1);
    Tick();
    ASSERT_EQ(motion().state(), kAwaitingSignal);
    EXPECT_DOUBLE_EQ(JogTarget(1), c.target) << c.reversed << c.home_direction;
    ctx.Notify(10);
    Tick();
    ASSERT_EQ(motion().state(), kRunning);
  }
}

TEST_F(MoveCommands, HomeRequestedWhileJoggingStartsAfterTheJog) {
  ctx.JogOn(0, 0, 0);
  Tick();
  motion().Home(2);
  Tick();
  EXPECT_EQ(motion().state(), kJogging);
  ctx.JogOff(0);
  ASSERT_TRUE(TickUntil(kAwaitingSignal));
  EXPECT_EQ(motion().homing_axis(), 2);
}

TEST_F(MoveCommands, ProbeWaitsASecondThenReportsADisabledInput) {
  engine().Set(engine::kProbeRunning, 1);
  planner().Set(planner::kProbePending, 1);
  ctx.Probe();
  RunMs(999);
  EXPECT_EQ(engine().Get(engine::kProbeRunning), 1);
  EXPECT_EQ(platform.workers_.live(), 1u);
  RunMs(1);
  EXPECT_EQ(engine().Get(engine::kProbeRunning), 0);
  EXPECT_EQ(planner().Get(planner::kProbePending), 0);
  EXPECT_EQ(StatusText(), "probe io is disabled, check your io port setting.");
  EXPECT_EQ(motion().state(), kRunning);
  EXPECT_EQ(platform.workers_.live(), 0u);
}

TEST_F(MoveCommands, ProbeAxisAndDirection) {
  EnableProbeInput();
  planner().Set(planner::kProbeFeedRate, 2.0);  // 6 steps per segment
  const struct {
    const char* name;
    std::vector<std::array<double, 4>> targets;  // axis, target, current, offset
    bool reversed;
    int axis;
    double velocity;
  } cases[] = {
      {"none far enough: the previous axis", {{3, 0.05, 0, 0}}, false, 0, -6},
      {"one above", {{1, 5, 0, 0}}, false, 1, 6},
      {"one below", {{1, -5, 0, 0}}, false, 1, -6},
      {"one above, reversed axis", {{1, 5, 0, 0}}, true, 1, -6},
      {"below the current position, above it less the offset", {{2, 1, 2, 1.5}}, false, 2, 6},
      {"two above: the last axis, sign turned twice", {{1, 5, 0, 0}, {2, 5, 0, 0}}, false, 2, -6},
      {"none again: the previous axis stays", {}, false, 2, -6},
  };
  for (const auto& c : cases) {
    for (int a = 0; a < 6; ++a) SetProbeTarget(a, 0);
    for (const auto& t : c.targets) SetProbeTarget(int(t[0]), t[1], t[2], t[3]);
    for (int a = 0; a < 6; ++a) engine().Set(engine::kAxisReversed[a], c.reversed);
    ctx.Probe();
    RunMs(1000);
    ASSERT_EQ(motion().state(), kAwaitingSignal) << c.name;
    EXPECT_EQ(motion().probe_axis(), c.axis) << c.name;
    EXPECT_DOUBLE_EQ(JogTarget(c.axis), c.velocity) << c.name;
    EXPECT_EQ(motion().awaited_signal(), ProbeActiveByte());
    EXPECT_EQ(motion().pending_signal_state(), kProbeTripped);
    ctx.Notify(10);
    Tick();
    ASSERT_EQ(motion().state(), kRunning);
  }
}

TEST_F(MoveCommands, DisabledAxisNeverBecomesTheProbeAxis) {
  EnableProbeInput();
  planner().Set(planner::kProbeFeedRate, 2.0);
  engine().Set(engine::kAxisEnabled[4], false);
  SetProbeTarget(4, 10);
  ctx.Probe();
  RunMs(1000);
  EXPECT_EQ(motion().probe_axis(), 0);
}

TEST_F(MoveCommands, ProbeTripStopsTheMoveAndReturnsToRunning) {
  EnableProbeInput();
  planner().Set(planner::kProbeFeedRate, 2.0);
  SetProbeTarget(2, -3);
  ctx.Probe();
  RunMs(1000);
  for (int i = 0; i < 5; ++i) Tick();
  EXPECT_NE(motion().ramps().jog_ramps()[2].Velocity, 0);
  *ProbeActiveByte() = 1;
  Tick();
  EXPECT_EQ(motion().state(), kProbeTripped);
  EXPECT_EQ(motion().ramps().jog_ramps()[2].Mode, kRampIdle);
  Tick();
  EXPECT_EQ(motion().state(), kRunning);
}

// Whatever ends a home or a probe ends its flags: a start the check refused, or its ramp
// stopped by a JogOff before the signal came.
TEST_F(MoveCommands, HomeAndProbeFlagsEndWithTheirMove) {
  constexpr uint64_t kHomingBit = uint64_t{1} << 56;
  engine().Set(engine::kEngineOffline, true);
  planner().Set(planner::kHomingSignalWord, kHomingBit | 1);
  ctx.Home(0);
  Tick();
  // Refused as it was about to start: nothing ran, and the host learns that no home runs.
  EXPECT_EQ(StatusText(), "engine offline!");
  EXPECT_EQ(motion().state(), kRunning);
  EXPECT_FALSE(motion().home_requested());
  EXPECT_FALSE(engine().Get(engine::kHomingActive));
  EXPECT_EQ(planner().Get(planner::kHomingSignalWord), 1u);
  engine().Set(engine::kEngineOffline, false);

  engine().Set(engine::kAxisReferenced[1], true);
  planner().Set(planner::kHomingSignalWord, kHomingBit);
  ctx.Home(1);
  for (int i = 0; i < 10; ++i) Tick();
  ASSERT_EQ(motion().state(), kAwaitingSignal);
  ctx.JogOff(1);
  ASSERT_TRUE(TickUntil(kRunning));
  EXPECT_FALSE(engine().Get(engine::kHomingActive));
  EXPECT_EQ(planner().Get(planner::kHomingSignalWord), 0u);
  EXPECT_TRUE(engine().Get(engine::kAxisReferenced[1]));  // nothing moved it off its count

  EnableProbeInput();
  planner().Set(planner::kProbeFeedRate, 2.0);
  SetProbeTarget(2, -3);
  engine().Set(engine::kProbeActive, true);  // as the host sets it for a probe
  ctx.Probe();
  RunMs(1000);
  for (int i = 0; i < 10; ++i) Tick();
  ASSERT_EQ(motion().state(), kAwaitingSignal);
  ctx.Probe();  // a probe taking over from a probe is still probing
  RunMs(1000);
  EXPECT_TRUE(engine().Get(engine::kProbeActive));
  for (int i = 0; i < 10; ++i) Tick();
  ASSERT_EQ(motion().state(), kAwaitingSignal);
  ctx.JogOff(2);
  ASSERT_TRUE(TickUntil(kRunning));
  EXPECT_FALSE(engine().Get(engine::kProbeActive));
}

// The host raises bit 56 when it asks for a home and waits for the plug-in to lower it. A
// request cancelled before its home starts (by Halted's drain, by a stop) lowers it as well,
// and so does a stop that also cancels a probe in its start delay.
TEST_F(MoveCommands, HomesEndedBeforeOrUnderAStopLowerTheHostsSignal) {
  constexpr uint64_t kHomingBit = uint64_t{1} << 56;
  engine().Set(engine::kEStopActive, true);
  Tick();
  ASSERT_EQ(motion().state(), kHalted);
  planner().Set(planner::kHomingSignalWord, kHomingBit | 1);
  ctx.Home(0);
  Tick();
  EXPECT_FALSE(motion().home_requested());
  EXPECT_EQ(planner().Get(planner::kHomingSignalWord), 1u);
  engine().Set(engine::kEStopActive, false);
  ASSERT_TRUE(TickUntil(kRunning));

  planner().Set(planner::kHomingSignalWord, kHomingBit | 1);
  ctx.Home(0);
  ctx.Notify(-1);
  EXPECT_FALSE(motion().home_requested());
  EXPECT_EQ(planner().Get(planner::kHomingSignalWord), 1u);
  ASSERT_TRUE(TickUntil(kRunning));

  EnableProbeInput();
  planner().Set(planner::kProbeFeedRate, 2.0);
  SetProbeTarget(2, -3);
  planner().Set(planner::kHomingSignalWord, kHomingBit | 1);
  ctx.Home(1);
  ASSERT_TRUE(TickUntil(kAwaitingSignal));
  ASSERT_TRUE(engine().Get(engine::kHomingActive));
  engine().Set(engine::kProbeActive, true);  // as the host sets it for a probe
  ctx.Probe();
  RunMs(990);
  ctx.link().set_status_for_test(50, true);  // the board still runs the home's segments
  ctx.Notify(-1);
  Tick();
  ASSERT_EQ(motion().state(), kStopDraining);
  RunMs(10);
  EXPECT_FALSE(engine().Get(engine::kProbeActive));
  ctx.link().set_status_for_test(0, true);
  ASSERT_TRUE(TickUntil(kRunning));
  RunMs(1000);
  EXPECT_EQ(motion().state(), kRunning);
  EXPECT_FALSE(engine().Get(engine::kHomingActive));
  EXPECT_EQ(planner().Get(planner::kHomingSignalWord), 1u);
}

// A probe or a dwell that takes over from a jog stops it and drops what it had queued: the
// next jog of another axis must not send the old jog's records.
TEST_F(MoveCommands, ProbeOrDwellTakingOverAJogLeavesNothingOfIt) {
  int64_t axis0 = 0;
  auto tick = [&] {
    motion().MotionStep();
    for (const Packet& p : TakePackets()) {
      if (p[0] != kOpMotion) continue;
      for (int k = 0; k < 7; ++k) axis0 += Axis0Steps(p, k);
    }
  };
  EnableProbeInput();
  planner().Set(planner::kProbeFeedRate, 2.0);
  SetProbeTarget(1, -3);
  for (bool probe : {true, false}) {
    ctx.JogOn(0, 0, 0);
    for (int i = 0; i < 10; ++i) tick();
    ASSERT_GT(motion().PendingEntries(kJogRing), 0);
    if (probe) {
      ctx.Probe();
      RunMs(1000);
      ASSERT_EQ(motion().state(), kAwaitingSignal);
      EXPECT_EQ(motion().ramps().jog_ramps()[0].Mode, kRampIdle);
      for (int i = 0; i < 5; ++i) tick();
      *ProbeActiveByte() = 1;
    } else {
      ctx.DoDwell(0.05);
      EXPECT_EQ(motion().state(), kDwelling);
      EXPECT_EQ(motion().ramps().jog_ramps()[0].Mode, kRampIdle);
      EXPECT_EQ(motion().PendingEntries(kJogRing), 0);
      EXPECT_FALSE(engine().Get(engine::kPluginMotionActive));
      platform.clock_.AdvanceMs(50);
    }
    for (int i = 0; i < 500 && motion().state() != kRunning; ++i) tick();
    ASSERT_EQ(motion().state(), kRunning);
    *ProbeActiveByte() = 0;
    axis0 = 0;
    ctx.JogOn(1, 0, 0);
    for (int i = 0; i < 20; ++i) tick();
    ctx.JogOff(1);
    for (int i = 0; i < 500 && motion().state() != kRunning; ++i) tick();
    EXPECT_EQ(axis0, 0) << (probe ? "probe" : "dwell");
  }
}

}  // namespace
}  // namespace vaskel::testing
