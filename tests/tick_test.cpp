#include <gtest/gtest.h>

#include "plugin_fixture.h"

namespace vaskel {
namespace {

using testing::PluginFixture;

TEST(Tick, RunsFiftyMoreBodiesAfterTheLastUpdateThenTheTimerDies) {
  PluginFixture f;
  f.Start();
  f.ctx.Update();
  EXPECT_EQ(f.platform.timers_.ActiveCount(), 1u);
  f.RunMs(20);  // first tick consumes the Update
  EXPECT_EQ(f.ctx.tick().bodies_run, 1u);
  EXPECT_TRUE(f.ctx.tick().timer_armed);
  f.RunMs(50 * 20);
  EXPECT_EQ(f.ctx.tick().bodies_run, 51u);
  EXPECT_EQ(f.platform.timers_.ActiveCount(), 1u);
  f.RunMs(20);  // the 51st tick after the Update kills its timer without a body
  EXPECT_EQ(f.ctx.tick().bodies_run, 51u);
  EXPECT_EQ(f.platform.timers_.ActiveCount(), 0u);
  EXPECT_FALSE(f.ctx.tick().timer_armed);
  f.RunMs(1000);
  EXPECT_EQ(f.ctx.tick().bodies_run, 51u);

  // The next Update starts a new timer and the tick resumes.
  f.ctx.Update();
  EXPECT_EQ(f.platform.timers_.ActiveCount(), 1u);
  f.RunMs(20);
  EXPECT_EQ(f.ctx.tick().bodies_run, 52u);
  EXPECT_EQ(f.ctx.tick().lapse_count, 0);
}

TEST(Tick, KeepsRunningWhileTheHostCallsUpdate) {
  PluginFixture f;
  f.Start();
  for (int i = 0; i < 100; ++i) {
    f.ctx.Update();
    f.RunMs(50);
  }
  EXPECT_EQ(f.platform.timers_.ActiveCount(), 1u);
  EXPECT_EQ(f.ctx.tick().bodies_run, 250u);  // one every 20 ms over 5 s
}

TEST(Tick, TwoUpdatesBeforeTheFirstTickStartTwoTimersThatBothLapse) {
  PluginFixture f;
  f.Start();
  f.ctx.Update();
  f.RunMs(10);
  f.ctx.Update();
  EXPECT_EQ(f.platform.timers_.ActiveCount(), 2u);
  f.RunMs(10);  // the first timer's tick arms; the second keeps ticking all the same
  EXPECT_TRUE(f.ctx.tick().timer_armed);
  f.RunMs(10);
  EXPECT_EQ(f.ctx.tick().bodies_run, 2u);
  // Both timers share the counter, so together they lapse after 50 more bodies.
  f.RunMs(2000);
  EXPECT_EQ(f.platform.timers_.ActiveCount(), 0u);
  EXPECT_EQ(f.ctx.tick().bodies_run, 51u);
}

TEST(Tick, UpdateWhileArmedStartsNoTimer) {
  PluginFixture f;
  f.Start();
  f.ctx.Update();
  f.RunMs(20);
  f.ctx.Update();
  f.ctx.Update();
  EXPECT_EQ(f.platform.timers_.ActiveCount(), 1u);
}

TEST(Tick, DestroyingTheContextKillsItsTimers) {
  testing::TestPlatform platform;
  sim::HostMemory memory;
  {
    PluginContext ctx(platform);
    ctx.InitControl(memory.engine(), memory.setup(), memory.planner(), memory.window());
    ctx.Update();
    EXPECT_EQ(platform.timers_.ActiveCount(), 1u);
  }
  EXPECT_EQ(platform.timers_.ActiveCount(), 0u);
  platform.clock_.AdvanceMs(100);
  EXPECT_EQ(platform.timers_.Dispatch(), 0);
}

TEST(SoftTimerQueue, RunsDueTimersOldestFirstAndSkipsKilledOnes) {
  FakeClock clock;
  SoftTimerQueue q(clock);
  static std::vector<int> order;
  order.clear();
  auto cb = +[](void* user, TimerId) { order.push_back(*static_cast<int*>(user)); };
  int a = 1, b = 2, c = 3;
  q.Start(30, cb, &a);
  q.Start(20, cb, &b);
  const TimerId killed = q.Start(10, cb, &c);
  q.Kill(killed);
  clock.AdvanceMs(30);
  EXPECT_EQ(q.Dispatch(), 2);
  EXPECT_EQ(order, (std::vector<int>{2, 1}));
}

// A tick body that takes longer than the period (a debugger, a starved machine) leaves its
// timer due again at once; the call still returns, with each timer run once.
TEST(SoftTimerQueue, ASlowTickRunsOncePerDispatchAndTheCallReturns) {
  FakeClock clock;
  SoftTimerQueue q(clock);
  struct Slow {
    FakeClock* clock;
    int runs = 0;
  };
  Slow slow{&clock};
  Slow other{&clock};
  auto body = +[](void* user, TimerId) {
    auto* s = static_cast<Slow*>(user);
    if (++s->runs < 100) s->clock->AdvanceMs(25);  // bounded, so an old loop ends too
  };
  q.Start(20, body, &slow);
  q.Start(20, body, &other);
  clock.AdvanceMs(20);
  EXPECT_EQ(q.Dispatch(), 2);
  EXPECT_EQ(slow.runs, 1);
  EXPECT_EQ(other.runs, 1);
  EXPECT_EQ(q.Dispatch(), 2);  // both fell behind: due again, once each
  EXPECT_EQ(slow.runs, 2);
  // A timer started by a tick is not due in the call that started it.
  static SoftTimerQueue* queue;
  static int started_runs;
  queue = &q;
  started_runs = 0;
  q.Start(
      20,
      +[](void*, TimerId) {
        queue->Start(
            0, +[](void*, TimerId) { ++started_runs; }, nullptr);
      },
      nullptr);
  clock.AdvanceMs(20);
  q.Dispatch();
  EXPECT_EQ(started_runs, 0);
}

TEST(SoftTimerQueue, FiresAcrossTheTickCountWrap) {
  FakeClock clock(0xFFFFFFF0u);
  SoftTimerQueue q(clock);
  static int fired;
  fired = 0;
  q.Start(
      20, +[](void*, TimerId) { ++fired; }, nullptr);
  clock.AdvanceMs(19);
  EXPECT_EQ(q.Dispatch(), 0);
  clock.AdvanceMs(1);
  EXPECT_EQ(q.Dispatch(), 1);
  EXPECT_EQ(fired, 1);
}

// A negative amount is used by its magnitude; the log says so once for each value.
TEST(Tick, ASignedBacklashAmountIsLoggedOnceAsItsWidth) {
  testing::PluginFixture f;
  f.platform.log_.on = true;
  f.Start();
  f.blocks().engine.Set(engine::kBacklashAmount[2], -40);
  f.ctx.TickBody();
  f.ctx.TickBody();
  f.blocks().engine.Set(engine::kBacklashAmount[2], INT32_MIN);
  f.ctx.TickBody();
  std::vector<std::string> noted;
  for (const std::string& line : f.platform.log_.lines()) {
    if (line.find("backlash amount") != std::string::npos) noted.push_back(line);
  }
  ASSERT_EQ(noted.size(), 2u);
  EXPECT_EQ(noted[0], "vaskel: axis 2 backlash amount -40 is a width: taken as 40");
  EXPECT_NE(noted[1].find("taken as 2147483647"), std::string::npos);
}

}  // namespace
}  // namespace vaskel

namespace vaskel {
namespace {

// An E-stop raised during a drop, or while the machine drains after a reset, ends the program
// the host queued meanwhile: nothing of it may stream once the link is back.
TEST(Tick, AnEStopEndsEverythingWhateverTheLinkAndTheMachine) {
  for (const bool halted : {false, true}) {
    testing::PluginFixture f;
    f.Start();
    const HostBlock& e = f.blocks().engine;
    if (halted) f.ctx.Notify(10);
    e.Set(engine::kTrajProducerIndex, 40);
    e.Set(engine::kTrajConsumerIndex, 10);
    e.Set(engine::kEStopActive, true);
    f.ctx.TickBody();  // the link is down
    EXPECT_EQ(f.ctx.motion().state(), kHalted) << halted;
    EXPECT_EQ(e.Get(engine::kTrajConsumerIndex), e.Get(engine::kTrajProducerIndex)) << halted;
    e.Set(engine::kEStopActive, false);
    f.ctx.link().set_status_for_test(0, true);
    f.ctx.TickBody();
    EXPECT_EQ(e.Get(engine::kTrajConsumerIndex), e.Get(engine::kTrajProducerIndex)) << halted;
  }
}

}  // namespace
}  // namespace vaskel
