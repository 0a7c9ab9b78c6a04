// StopPlug leaves nothing running: the host may unload the library as soon as it returns.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "device_test_support.h"
#include "platform/workers.h"
#include "plugin_fixture.h"

namespace vaskel {
namespace {

using testing::PluginFixture;

TEST(StopPlug, EndsTheTickAndEveryWorker) {
  PluginFixture f;
  f.Start();
  f.ctx.Update();
  f.RunMs(100);
  int steps = 0;
  f.platform.workers_.Spawn(
      "link",
      [&steps](bool) {
        ++steps;
        return true;
      },
      WorkerPriority::Normal);
  f.RunMs(10);
  EXPECT_GT(steps, 0);
  EXPECT_EQ(f.platform.timers_.ActiveCount(), 1u);

  f.ctx.StopPlug();
  EXPECT_TRUE(f.ctx.stopped());
  EXPECT_EQ(f.platform.timers_.ActiveCount(), 0u);
  EXPECT_EQ(f.platform.workers_.live(), 0u);
  EXPECT_FALSE(f.ctx.tick().timer_armed);
  EXPECT_FALSE(f.ctx.dialog().exists());

  const int steps_at_stop = steps;
  const uint64_t bodies_at_stop = f.ctx.tick().bodies_run;
  EXPECT_EQ(f.RunMs(2000), 0);
  EXPECT_EQ(steps, steps_at_stop);
  EXPECT_EQ(f.ctx.tick().bodies_run, bodies_at_stop);
}

TEST(StopPlug, KillsEveryTimerWhenTwoWereStarted) {
  PluginFixture f;
  f.Start();
  f.ctx.Update();
  f.RunMs(10);
  f.ctx.Update();  // before the first tick: a second timer
  ASSERT_EQ(f.platform.timers_.ActiveCount(), 2u);
  f.ctx.StopPlug();
  EXPECT_EQ(f.platform.timers_.ActiveCount(), 0u);
  EXPECT_EQ(f.RunMs(200), 0);
}

TEST(StopPlug, LaterEntryPointsStartNothingAgain) {
  PluginFixture f;
  f.Start();
  f.ctx.StopPlug();
  const HostBlock& e = f.blocks().engine;
  e.Set(engine::kTrajProducerIndex, 4000);

  f.ctx.Update();
  f.ctx.Notify(-1);
  f.ctx.DoDwell(1.0);
  f.ctx.Probe();
  f.ctx.Config();
  EXPECT_TRUE(f.ctx.InitControl(f.memory.engine(), f.memory.setup(), f.memory.planner(),
                                f.memory.window()));
  f.ctx.PostInitControl();
  f.ctx.Update();

  EXPECT_EQ(f.platform.timers_.ActiveCount(), 0u);
  EXPECT_EQ(f.platform.workers_.live(), 0u);
  EXPECT_EQ(f.RunMs(500), 0);
  EXPECT_EQ(e.Get(engine::kTrajProducerIndex), 4000);
  EXPECT_EQ(e.Get(engine::kDwellActive), 0);
  EXPECT_FALSE(f.ctx.dialog().exists());
  EXPECT_EQ(f.ctx.tick().bodies_run, 0u);
}

TEST(StopPlug, TwiceIsHarmless) {
  PluginFixture f;
  f.Start();
  f.ctx.Update();
  f.RunMs(50);
  f.ctx.StopPlug();
  f.ctx.StopPlug();
  EXPECT_EQ(f.platform.timers_.ActiveCount(), 0u);
}

// The same with real threads: StopPlug returns only once every worker thread has ended.
class ThreadedPlatform : public testing::TestPlatform {
 public:
  Workers& workers() override { return threads_; }
  ThreadWorkers threads_;
};

TEST(StopPlug, JoinsRealWorkerThreadsAndRefusesNewOnes) {
  ThreadedPlatform platform;
  sim::HostMemory memory;
  PluginContext ctx(platform);
  ctx.InitControl(memory.engine(), memory.setup(), memory.planner(), memory.window());
  ctx.PostInitControl();

  std::mutex mutex;
  std::condition_variable never_signalled;
  std::condition_variable progress;
  std::atomic<int> steps{0};
  auto step = [&](bool) {
    steps.fetch_add(1);
    progress.notify_all();
    // A worker waits on its event with a time-out; this one is never signalled.
    std::unique_lock lock(mutex);
    never_signalled.wait_for(lock, std::chrono::milliseconds(5));
    return true;
  };
  platform.workers().Spawn("sender", step);
  platform.workers().Spawn("receiver", step, WorkerPriority::AboveNormal);
  {
    std::unique_lock lock(mutex);
    progress.wait_for(lock, std::chrono::seconds(5), [&] { return steps.load() >= 2; });
  }
  ctx.StopPlug();
  EXPECT_TRUE(platform.threads_.stopping());
  const int steps_at_stop = steps.load();
  platform.workers().Spawn("probe", step);  // refused: nothing may start after StopPlug
  {
    std::unique_lock lock(mutex);
    never_signalled.wait_for(lock, std::chrono::milliseconds(50));
  }
  EXPECT_EQ(steps.load(), steps_at_stop);
  // The status line's string belongs to the host.
  host_string::Release(memory.blocks().planner.Get(planner::kStatusText));
}

// One-shot workers (a probe each) are joined as they finish, not kept until StopPlug.
TEST(StopPlug, FinishedWorkerThreadsDoNotPileUpBeforeIt) {
  ThreadWorkers threads;
  Workers& workers = threads;
  std::atomic<int> ran{0};
  for (int i = 0; i < 20; ++i) {
    workers.Spawn("probe", [&](bool) {
      ran.fetch_add(1);
      return false;
    });
  }
  // Bounded: each thread marks itself finished right after its one step.
  for (int i = 0; i < 5000 && (ran.load() < 20 || threads.held() > 0); ++i) {
    workers.Pump();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(ran.load(), 20);
  EXPECT_EQ(threads.held(), 0u);

  std::mutex mutex;
  std::condition_variable never_signalled;
  workers.Spawn("sender", [&](bool) {
    std::unique_lock lock(mutex);
    never_signalled.wait_for(lock, std::chrono::milliseconds(5));
    return true;
  });
  workers.Pump();
  EXPECT_EQ(threads.held(), 1u);  // a live worker stays until StopAll
  workers.StopAll();
  EXPECT_EQ(threads.held(), 0u);
}

TEST(StopPlug, ClosesTheBoardOnceItsWorkersHaveEnded) {
  testing::LinkHarness h;
  h.BringUp();
  ASSERT_TRUE(h.link().device_connected());
  ASSERT_GT(h.platform.workers_.live(), 0u);

  h.ctx->StopPlug();
  EXPECT_EQ(h.platform.workers_.live(), 0u);
  EXPECT_FALSE(h.link().device_connected());
  EXPECT_FALSE(h.link().link_running());
  EXPECT_EQ(h.board.closed_ports(), 1u);
  // An orderly close, not a lost board.
  EXPECT_EQ(h.StatusText().find("pulled out"), std::string::npos) << h.StatusText();

  // A later Update neither looks for the board again nor writes to it.
  const size_t opened = h.bus.opened().size();
  const size_t written = h.board.written().size();
  h.UpdateAndPump();
  EXPECT_EQ(h.bus.opened().size(), opened);
  EXPECT_EQ(h.board.written().size(), written);
}

TEST(StopPlug, WithoutABoardClosesNothing) {
  testing::LinkHarness h(false);
  h.UpdateAndPump();
  h.ctx->StopPlug();
  EXPECT_EQ(h.board.closed_ports(), 0u);
  EXPECT_FALSE(h.link().device_connected());
}

}  // namespace
}  // namespace vaskel
