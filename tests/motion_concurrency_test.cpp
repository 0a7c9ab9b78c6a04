#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "motion_fixture.h"

namespace vaskel::testing {
namespace {

using MotionConcurrency = MotionTest;

// A limit trip on the receiver thread while the tick streams on the host thread: every trip
// sends exactly one stop, the host queue stays consistent and nothing races.
TEST_F(MotionConcurrency, LimitTripRacesTheTick) {
  using namespace input_signal;
  engine().Store<uint8_t>(Offset(0, kEnabled), 1);
  engine().Store<int8_t>(Offset(0, kPort), 1);
  engine().Store<int8_t>(Offset(0, kPin), 1);
  ctx.link().set_input_word_for_test(1);

  constexpr int kTrips = 50;
  constexpr int kMaxScans = 200'000;
  std::atomic<bool> done{false};
  int trips = 0;
  std::thread receiver([&] {
    for (int i = 0; i < kMaxScans && trips < kTrips; ++i) {
      engine().Set(engine::kEStopActive, false);  // the host's reset
      motion().ScanInputs();
      if (engine().Get(engine::kEStopActive)) ++trips;
      std::this_thread::yield();
    }
    done = true;
  });

  int stops = 0;
  int motion_packets = 0;
  auto count = [&] {
    for (const Packet& p : TakePackets()) {
      stops += p[0] == kOpStop ? 1 : 0;
      motion_packets += p[0] == kOpMotion ? 1 : 0;
    }
  };
  while (!done) {
    // After a trip the host drops its queue, as it would on its own stop.
    if (motion().state() == kHalted) {
      motion().DiscardHostTrajectory();
    } else if (HostPending() < 64) {
      PushHost(64);
    }
    motion().MotionStep();
    ASSERT_LE(HostPending(), 128);
    count();
  }
  receiver.join();
  count();
  EXPECT_EQ(trips, kTrips);
  EXPECT_GT(motion_packets, 0);
  EXPECT_EQ(stops, trips);
  const int32_t s = motion().state();
  EXPECT_TRUE(s == kHalted || s == kRunning) << s;
}

// Status processing retires backlash records on the receiver thread while aborts on the host
// thread empty the queue: the retire index must never end up past the open index.
TEST_F(MotionConcurrency, RecordRetirementRacesAborts) {
  engine().Set(engine::kBacklashEnabled, true);
  engine().Set(engine::kBacklashAmount[0], 5);
  engine().Set(engine::kBacklashSpeed[0], 4096000);
  planner().Set(planner::kStepsPerUnit[0], 1000.0);
  planner().Set(planner::kAxisAcceleration[0], 1000.0);
  planner().Set(planner::kFlushPartial, true);

  std::atomic<bool> done{false};
  std::thread receiver([&] {
    while (!done) {
      motion().PositionsFollowBoard(0);
      std::this_thread::yield();
    }
  });
  const BacklashQueue& queue = motion().backlash_queue();
  for (int i = 0; i < 3000; ++i) {
    PushHostCounts({i % 2 == 0 ? -1.0 : 1.0, 0, 0, 0, 0, 0});
    motion().MotionStep();
    if (i % 3 == 0) {
      ctx.Notify(10);
      motion().MotionStep();  // drained: back to Running
    }
    TakePackets();
    const uint32_t outstanding = (queue.open_index.load() - queue.retire_index.load()) & 0x3ff;
    ASSERT_LT(outstanding, 16u) << i;
  }
  done = true;
  receiver.join();
}

}  // namespace
}  // namespace vaskel::testing
