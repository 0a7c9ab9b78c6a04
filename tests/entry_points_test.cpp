#include <gtest/gtest.h>

#include "plugin_fixture.h"

namespace vaskel {
namespace {

using testing::PluginFixture;

TEST(EntryPoints, SetProNameReturnsDisplayNameAndReleasesTheHostReference) {
  PluginFixture f;
  char* name = host_string::Make("C:\\profiles\\mill.xml");
  host_string::AddRef(name);  // the host keeps a reference of its own
  const char* display = f.ctx.SetProName(name);
  EXPECT_STREQ(display, "vaskel VASKEL PlugIn Ver 2.0a");
  EXPECT_EQ(host_string::RefCount(name), 1);
  EXPECT_EQ(f.ctx.settings().profile_file_name, "C:\\profiles\\mill.xml");
  EXPECT_EQ(f.ctx.messages().TableText(4), "vaskel device is connnected to your computer!");
  host_string::Release(name);
}

TEST(EntryPoints, InitControlAcceptsNullBlocksAndLaterCallsDoNotCrash) {
  PluginFixture f;
  EXPECT_TRUE(f.ctx.InitControl(nullptr, nullptr, nullptr, nullptr));
  f.ctx.PostInitControl();
  f.ctx.Update();
  f.ctx.Notify(-1);
  f.ctx.Notify(3);
  f.ctx.DoDwell(1.0);
  f.ctx.JogOn(0, 0, 0.0);
  f.RunMs(100);
  f.ctx.StopPlug();
}

TEST(EntryPoints, CallsBeforeInitControlAreIgnored) {
  PluginFixture f;
  f.ctx.PostInitControl();
  f.ctx.Update();
  f.ctx.Notify(10);
  f.ctx.DoDwell(2.0);
  f.ctx.JogOn(1, 1, 5.0);
  f.ctx.Home(2);
  f.ctx.Probe();
  EXPECT_EQ(f.RunMs(200), 0);  // no timer was started
  EXPECT_EQ(f.ctx.motion().state(), kRunning);
}

TEST(EntryPoints, PostInitControlWritesTheTimingFields) {
  PluginFixture f;
  f.Start();
  const HostBlock& p = f.blocks().planner;
  EXPECT_EQ(p.Get(planner::kTrajectoryChunk), 256);
  EXPECT_DOUBLE_EQ(p.Get(planner::kSegmentPeriod), 0.003);
  EXPECT_EQ(p.Get(planner::kPostInitFlag), 1);
  for (size_t m = 0; m < 7; ++m) EXPECT_EQ(p.Get(planner::kMotorStepRate[m]), 400000.0) << m;
  EXPECT_EQ(p.Load<double>(planner::kMotorStepRate[7].offset), 0.0);
  EXPECT_EQ(f.ctx.link().sequence_counter(), 1);
}

TEST(EntryPoints, HostCallbacksAreStoredAndReturnedButNeverCalled) {
  PluginFixture f;
  static int calls = 0;
  auto callback = +[]() { ++calls; };
  void* fn = reinterpret_cast<void*>(callback);
  EXPECT_EQ(f.ctx.SetHostCallback(HostCallbackSlot::DoButton, fn), fn);
  EXPECT_EQ(f.ctx.SetHostCallback(HostCallbackSlot::Code, fn), fn);
  f.Start();
  f.ctx.Update();
  f.RunMs(100);
  f.ctx.Purge(1);
  f.ctx.Reset();
  EXPECT_EQ(calls, 0);
}

// Notify arithmetic.

TEST(Notify, DiscardAddsAChunkAndRequestsAStop) {
  PluginFixture f;
  f.Start();
  const HostBlock& e = f.blocks().engine;
  e.Set(engine::kTrajProducerIndex, 4000);
  e.Set(engine::kTrajConsumerIndex, 3990);
  f.ctx.Notify(-1);
  EXPECT_EQ(e.Get(engine::kTrajProducerIndex), 160);
  EXPECT_EQ(e.Get(engine::kTrajConsumerIndex), 160);
  EXPECT_EQ(f.ctx.motion().state(), kStopRequested);
  EXPECT_EQ(f.ctx.motion().resume_state(), 0);
}

TEST(Notify, StopDuringTakeUpIsHeldUntilItEnds) {
  PluginFixture f;
  f.Start();
  f.ctx.motion().set_state(kBacklashTakeUp);
  f.ctx.Notify(-1);
  EXPECT_EQ(f.ctx.motion().state(), kBacklashTakeUp);
  EXPECT_EQ(f.ctx.motion().resume_state(), kStopRequested);
}

TEST(Notify, SpindleSpeedRatios) {
  PluginFixture f;
  f.Start();
  const HostBlock& p = f.blocks().planner;
  p.Set(planner::kSpindleStartAllowed, true);
  p.Set(planner::kSpindleSpeedControlled, true);
  const struct {
    double ratio;
    int32_t target;
  } cases[] = {{0.5, 100}, {1.7, 200}, {0.004, 1}, {0.0, 1}, {1.0, 200}, {-0.5, 1}, {-0.003, 1}};
  for (const auto& c : cases) {
    f.ctx.spindle().set_target(-7);
    p.Set(planner::kSpindleSpeedRatio, c.ratio);
    f.ctx.Notify(3);
    EXPECT_EQ(f.ctx.spindle().target(), c.target) << c.ratio;
    f.ctx.spindle().set_target(-7);
    f.ctx.Notify(5);
    EXPECT_EQ(f.ctx.spindle().target(), c.target) << c.ratio;
  }
}

TEST(Notify, NegativeOrNonsenseSpindleRatiosAskForTheSlowestSpeed) {
  PluginFixture f;
  f.Start();
  const HostBlock& p = f.blocks().planner;
  p.Set(planner::kSpindleStartAllowed, true);
  p.Set(planner::kSpindleSpeedControlled, true);
  for (double ratio : {-0.1, -1e12, std::numeric_limits<double>::quiet_NaN(),
                       -std::numeric_limits<double>::infinity()}) {
    p.Set(planner::kSpindleSpeedRatio, ratio);
    f.ctx.Notify(3);
    EXPECT_EQ(f.ctx.spindle().target(), 1) << ratio;
  }
  p.Set(planner::kSpindleSpeedRatio, std::numeric_limits<double>::infinity());
  f.ctx.Notify(5);
  EXPECT_EQ(f.ctx.spindle().target(), 200);
  // Whatever it is told, the ramp never leaves the board's range.
  for (int i = 0; i < 100; ++i) {
    f.ctx.spindle().StepSpindleRamp();
    EXPECT_GE(f.ctx.spindle().value(), 0);
    EXPECT_LE(f.ctx.spindle().value(), 200);
  }
}

TEST(Notify, SpindleCommandsNeedTheHostFlags) {
  PluginFixture f;
  f.Start();
  const HostBlock& p = f.blocks().planner;
  p.Set(planner::kSpindleSpeedRatio, 0.5);
  p.Set(planner::kSpindleSpeedControlled, true);
  f.ctx.Notify(3);  // start not allowed
  EXPECT_EQ(f.ctx.spindle().target(), 0);
  f.ctx.spindle().set_target(120);
  f.ctx.Notify(4);  // off still works while the plug-in controls the speed
  EXPECT_EQ(f.ctx.spindle().target(), 0);
  f.ctx.spindle().set_target(120);
  p.Set(planner::kSpindleSpeedControlled, false);
  f.ctx.Notify(4);
  EXPECT_EQ(f.ctx.spindle().target(), 120);
}

TEST(Notify, CodesOutsideTheTableOrWithoutEffectChangeNothing) {
  PluginFixture f;
  f.Start();
  const HostBlock& e = f.blocks().engine;
  const HostBlock& p = f.blocks().planner;
  e.Set(engine::kTrajProducerIndex, 33);
  p.Set(planner::kSpindleStartAllowed, true);
  p.Set(planner::kSpindleSpeedControlled, true);
  p.Set(planner::kSpindleSpeedRatio, 0.5);
  for (int32_t code : {11, -2, 0, 1, 2, 7, 8, 9, 1000, INT32_MIN, INT32_MAX}) {
    f.ctx.Notify(code);
    EXPECT_EQ(e.Get(engine::kTrajProducerIndex), 33) << code;
    EXPECT_EQ(f.ctx.motion().state(), kRunning) << code;
    EXPECT_EQ(f.ctx.spindle().target(), 0) << code;
  }
}

TEST(Notify, ResetNotificationHalts) {
  PluginFixture f;
  f.Start();
  f.ctx.Notify(10);
  EXPECT_EQ(f.ctx.motion().state(), kHalted);
}

// Dwell and jog starts.

TEST(DoDwell, SecondsOrMillisecondsByTheHostFlag) {
  PluginFixture f;
  f.Start();
  f.platform.clock_.SetTickCountMs(1000);
  f.ctx.DoDwell(1.5);
  EXPECT_EQ(f.ctx.motion().dwell_end_tick(), 2500u);
  EXPECT_EQ(f.ctx.motion().state(), kDwelling);
  EXPECT_EQ(f.blocks().engine.Get(engine::kDwellActive), 1);
  f.blocks().planner.Set(planner::kDwellInMilliseconds, true);
  f.ctx.DoDwell(1.5);
  EXPECT_EQ(f.ctx.motion().dwell_end_tick(), 1001u);
}

TEST(DoDwell, EndTickWrapsWithTheTickCount) {
  PluginFixture f;
  f.Start();
  f.platform.clock_.SetTickCountMs(0xFFFFFFFFu - 295);  // 296 ms before the wrap
  f.ctx.DoDwell(0.5);
  EXPECT_EQ(f.ctx.motion().dwell_end_tick(), 204u);
}

TEST(DoDwell, StartsWhateverTheStateAndToleratesNonsenseTimes) {
  PluginFixture f;
  f.Start();
  f.ctx.JogOn(0, 0, 1.0);
  ASSERT_EQ(f.ctx.motion().state(), kJogging);
  f.ctx.DoDwell(0.25);
  EXPECT_EQ(f.ctx.motion().state(), kDwelling);
  f.ctx.DoDwell(std::numeric_limits<double>::quiet_NaN());
  f.ctx.DoDwell(1e300);
  EXPECT_EQ(f.ctx.motion().state(), kDwelling);
}

TEST(JogOn, RefusedOutsideRunningAndJoggingWithMessage10) {
  PluginFixture f;
  f.Start();
  for (int32_t state : {kDwelling, kAwaitingSignal, kHalted, kStopDraining}) {
    f.ctx.motion().set_state(state);
    f.ctx.JogOn(0, 0, 1.0);
    EXPECT_EQ(f.ctx.motion().state(), state);
    EXPECT_EQ(f.StatusText(), "Jog function can't be enabled while homing, probing or dwell!");
    EXPECT_EQ(f.ctx.messages().index(), 10);
  }
  f.ctx.motion().set_state(kRunning);
  f.ctx.JogOn(0, 0, 1.0);
  EXPECT_EQ(f.ctx.motion().state(), kJogging);
}

}  // namespace
}  // namespace vaskel
