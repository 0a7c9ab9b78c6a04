// The built plug-in against the simulated board: discovery, the start-up configuration, status
// polling, alignment, unplug and stuck-write recovery, all on virtual time.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <memory>
#include <thread>

#include "host/host_layout.h"
#include "platform/clock.h"
#include "sim/board/board_simulator.h"
#include "sim/board/sim_hid_bus.h"
#include "sim/plugin_loader.h"
#include "sim/substitute_host.h"
#include "sim/tcp_board_server.h"

namespace vaskel {
namespace {

using sim::SimHidBus;

constexpr const char* kDuplicates =
    "Some usb device make the usb detected program doesen't work well!";
constexpr const char* kPulledOut = "vaskel device is pulled out, check your cable!";
constexpr const char* kConnected = "vaskel device is connnected to your computer!";
constexpr const char* kBoardLostPosition = "vaskel device lost its position, home your axises!";
constexpr const char* kLostQueue =
    "vaskel device lost its queue, position may be off, home your axises!";
constexpr uint32_t kUpdateMs = 50;

class LinkEndToEnd : public ::testing::Test {
 protected:
  LinkEndToEnd() : LinkEndToEnd(sim::BoardHabits{}) {}
  explicit LinkEndToEnd(const sim::BoardHabits& habits) : board_(clock_, WithHabits(habits)) {}
  static sim::BoardOptions WithHabits(const sim::BoardHabits& habits) {
    sim::BoardOptions options;
    options.habits = habits;
    return options;
  }

  void SetUp() override {
    env_.clock = &clock_;
    env_.hid = &bus_;
    env_.cooperative = true;
  }
  void TearDown() override {
    host_.reset();
    library_.Unload();
    sim::SetHostEnvironment(nullptr);
  }

  void Start() {
    sim::SetHostEnvironment(&env_);  // read once, when the plug-in makes its platform
    std::string error;
    ASSERT_TRUE(library_.Load(VASKEL_PLUGIN_PATH, &error)) << error;
    host_ = std::make_unique<sim::SubstituteHost>(library_.api());
    host_->Start(::testing::TempDir() + "vaskel_e2e_link_profile.xml");
  }

  // A program of 600 segments of 5 steps on axis 0 (3000 in all), 0.6 s into its run with
  // the board holding some of it; `referenced`: every axis homed before it.
  void StreamFiveStepProgram(bool referenced) {
    Start();
    const HostBlock& engine = host_->blocks().engine;
    engine.Set(engine::kAxisEnabled[0], true);
    for (int a = 0; a < 6 && referenced; ++a) engine.Set(engine::kAxisReferenced[a], true);
    ASSERT_TRUE(RunUntilStatus(kConnected, 1000));
    Run(300);
    const double five[6] = {5, 0, 0, 0, 0, 0};
    for (int i = 0; i < 600; ++i) ASSERT_TRUE(host_->PushSegment(five));
    host_->blocks().planner.Set(planner::kFlushPartial, true);  // the program ends there
    Run(600);
    ASSERT_GT(board_.Fill(), 0u);
  }

  // One virtual millisecond: timers and workers every millisecond, Update every 50.
  void Tick() {
    clock_.AdvanceMs(1);
    if (++now_ % kUpdateMs == 0) {
      host_->Update();
      ++updates_;
    }
    host_->PumpTimers();
    const std::string status = host_->StatusText();
    if (statuses_.empty() || statuses_.back() != status) statuses_.push_back(status);
  }
  void Run(uint32_t ms) {
    for (uint32_t i = 0; i < ms; ++i) Tick();
  }
  bool RunUntil(const std::function<bool()>& done, uint32_t max_ms) {
    for (uint32_t i = 0; i < max_ms; ++i) {
      if (done()) return true;
      Tick();
    }
    return done();
  }
  bool RunUntilStatus(const std::string& text, uint32_t max_ms) {
    return RunUntil([&] { return host_->StatusText() == text; }, max_ms);
  }
  bool Shown(const std::string& text) const {
    for (const std::string& s : statuses_) {
      if (s == text) return true;
    }
    return false;
  }
  int32_t Position(int axis) { return host_->blocks().engine.Get(engine::kAxisPosition[axis]); }
  void SetPosition(int axis, int32_t v) {
    host_->blocks().engine.Set(engine::kAxisPosition[axis], v);
  }
  int BoardOpens() const { return bus_.open_count(SimHidBus::kBoardPath); }

  FakeClock clock_;
  sim::BoardSimulator board_;
  SimHidBus bus_{board_};
  HostEnvironment env_;
  sim::LoadedPlugin library_;
  std::unique_ptr<sim::SubstituteHost> host_;
  uint32_t now_ = 0;
  int updates_ = 0;
  std::vector<std::string> statuses_;
};

std::vector<uint8_t> Opcodes(const std::vector<sim::PacketRecord>& log) {
  std::vector<uint8_t> ops;
  for (const auto& p : log) ops.push_back(p.opcode);
  return ops;
}

TEST_F(LinkEndToEnd, StartupConfigurationInOrderThenOneStatusRequestPerUpdate) {
  Start();
  ASSERT_TRUE(RunUntilStatus(kConnected, 1000));
  const auto log = board_.TakePacketLog();
  ASSERT_GE(log.size(), 10u);
  const std::vector<uint8_t> ops = Opcodes(log);
  const std::vector<uint8_t> startup(ops.begin(), ops.begin() + 10);
  EXPECT_EQ(startup, (std::vector<uint8_t>{26, 29, 1, 21, 22, 25, 12, 19, 0, 18}));
  EXPECT_EQ(log[3].value, 286331153);
  EXPECT_EQ(log[4].value, 4800);
  EXPECT_EQ(log[5].value, 24);
  for (int i : {2, 6, 7, 8}) EXPECT_EQ(log[i].value, 0) << i;
  // The sync queries carry their own sequence numbers; the status request takes the next.
  EXPECT_EQ(log[1].value, log[0].value + 1);
  EXPECT_EQ(log[9].value & 0xffff, log[1].value + 1);
  EXPECT_EQ(BoardOpens(), 1);

  const int updates_before = updates_;
  Run(1000);
  Run(kUpdateMs / 2);  // lets the last request reach the board
  const auto polled = board_.TakePacketLog();
  int status_requests = 0;
  for (const auto& p : polled) status_requests += p.opcode == 18;
  EXPECT_EQ(status_requests, updates_ - updates_before);
  EXPECT_EQ(board_.Stats().malformed, 0u);
}

TEST_F(LinkEndToEnd, AlignmentKeepsTheHostPositionsThenFollowsTheBoard) {
  board_.SetCount(0, 100);
  board_.SetCount(2, -7);
  Start();
  SetPosition(0, 5000);
  SetPosition(2, 300);
  ASSERT_TRUE(RunUntilStatus(kConnected, 1000));
  Run(200);
  EXPECT_EQ(Position(0), 5000);
  EXPECT_EQ(Position(2), 300);
  host_->blocks().engine.Set(engine::kAxisEnabled[0], true);
  const double five[6] = {5, 0, 0, 0, 0, 0};
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(host_->PushSegment(five));
  host_->blocks().planner.Set(planner::kFlushPartial, true);
  Run(400);
  EXPECT_EQ(board_.Counts()[0], 150);
  EXPECT_EQ(Position(0), 5050);
  EXPECT_EQ(Position(2), 300);
}

TEST_F(LinkEndToEnd, UnplugShowsPulledOutAndReplugReconnectsAndRealigns) {
  board_.SetCount(1, 40);
  Start();
  ASSERT_TRUE(RunUntilStatus(kConnected, 1000));
  Run(200);
  const int32_t held = Position(1);

  board_.Unplug();
  ASSERT_TRUE(RunUntilStatus(kPulledOut, 500));
  const int enumerations = bus_.enumerate_count();
  Run(1000);  // every Update looks for the board again, in vain
  EXPECT_GE(bus_.enumerate_count() - enumerations, 15);
  EXPECT_EQ(host_->StatusText(), kPulledOut);
  EXPECT_EQ(BoardOpens(), 1);

  board_.SetCount(1, 900);  // moved by hand while unplugged
  board_.TakePacketLog();
  board_.Replug();
  // Counts that moved with nothing outstanding are the board's own: the DRO follows them, and
  // the axes keep their reference.
  ASSERT_TRUE(RunUntilStatus(kConnected, 1000));
  EXPECT_EQ(BoardOpens(), 2);
  // The status request whose write failed at the unplug goes first, then the configuration,
  // which measures the board before its stop.
  const auto log = Opcodes(board_.TakePacketLog());
  ASSERT_GE(log.size(), 13u);
  EXPECT_EQ(std::vector<uint8_t>(log.begin(), log.begin() + 13),
            (std::vector<uint8_t>{18, 18, 26, 29, 1, 21, 22, 25, 12, 18, 19, 0, 18}));
  Run(200);
  EXPECT_EQ(Position(1), held + 860);
  EXPECT_EQ(host_->StatusText(), kConnected);
}

// A USB drop while the powered board runs on through its queue: the reconnection measures what
// it held before the start-up stop clears it, so every entry of the program runs once and the
// DRO shows what the board executed.
TEST_F(LinkEndToEnd, ADropWhileTheBoardRunsOnResumesTheProgramExactly) {
  ASSERT_NO_FATAL_FAILURE(StreamFiveStepProgram(false));
  board_.Unplug(/*runs_on=*/true);
  ASSERT_TRUE(RunUntilStatus(kPulledOut, 500));
  board_.Replug();
  ASSERT_TRUE(RunUntilStatus(kConnected, 1000));
  const bool drained =
      RunUntil([&] { return host_->QueuedSegments() == 0 && board_.Fill() == 0; }, 5000);
  ASSERT_TRUE(drained);
  Run(200);
  std::printf("drop, board runs on: board executed %lld of 3000 steps, DRO %d\n",
              static_cast<long long>(board_.Stats().steps_executed[0]), Position(0));
  EXPECT_EQ(board_.Stats().steps_executed[0], 3000);
  EXPECT_EQ(Position(0), 3000);
  EXPECT_TRUE(Shown(kConnected));
  EXPECT_FALSE(Shown(kBoardLostPosition));
}

// Every reply lost while the board runs and takes two stops, then a USB drop it runs on
// through: across two stops its counts are known only within bounds, and the DRO, frozen since
// the last reply, must go on with the counts rather than stay where it froze.
TEST_F(LinkEndToEnd, ADropAfterRepliesWereLostAcrossStopsKeepsTheDroOnTheBoard) {
  ASSERT_NO_FATAL_FAILURE(StreamFiveStepProgram(false));
  board_.DropReplies(-1);
  const double five[6] = {5, 0, 0, 0, 0, 0};
  for (int stop = 0; stop < 2; ++stop) {
    Run(200);
    library_.api().Notify(-1);
    Run(300);
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(host_->PushSegment(five));
    host_->blocks().planner.Set(planner::kFlushPartial, true);
  }
  Run(1000);
  ASSERT_EQ(board_.Fill(), 0u);
  const int32_t frozen = Position(0);
  const int32_t count = board_.Counts()[0];
  ASSERT_NE(frozen, count);  // the board ran on unseen
  board_.Unplug(/*runs_on=*/true);
  ASSERT_TRUE(RunUntilStatus(kPulledOut, 500));
  board_.ClearFaults();
  board_.Replug();
  ASSERT_TRUE(RunUntilStatus(kConnected, 1000));
  Run(500);
  std::printf("replies lost across two stops, then a drop: DRO froze at %d, board at %d, DRO %d\n",
              frozen, count, Position(0));
  EXPECT_EQ(Position(0), board_.Counts()[0]);
  EXPECT_FALSE(Shown(kBoardLostPosition));
}

// A board that lost power mid-program comes back with an empty queue and its counts from zero:
// the program does not resume shifted; it stops, and the axes must be homed.
TEST_F(LinkEndToEnd, ABoardResetMidProgramStopsItAndUnreferencesTheAxes) {
  ASSERT_NO_FATAL_FAILURE(StreamFiveStepProgram(true));
  const HostBlock& engine = host_->blocks().engine;
  board_.Unplug();
  ASSERT_TRUE(RunUntilStatus(kPulledOut, 500));
  for (int c = 0; c < 6; ++c) board_.SetCount(c, 0);
  board_.Replug();
  const bool lost = RunUntil([&] { return Shown(kBoardLostPosition); }, 1000);
  Run(2000);
  EXPECT_TRUE(lost);
  std::printf("board reset: board executed %lld of 3000 steps, DRO %d, host queue %d\n",
              static_cast<long long>(board_.Stats().steps_executed[0]), Position(0),
              host_->QueuedSegments());
  EXPECT_EQ(host_->QueuedSegments(), 0);  // the program is over, not resumed shifted
  EXPECT_EQ(board_.Fill(), 0u);
  EXPECT_LT(board_.Stats().steps_executed[0], 3000);
  for (int a = 0; a < 6; ++a) EXPECT_FALSE(engine.Get(engine::kAxisReferenced[a])) << a;
}

// A board that resets while the link stays up (a watchdog, a brown-out the bus does not see)
// loses its queue and its counts with nothing but its replies to tell: the program stops as
// after a reset across a drop, the DRO holds, and the board gets its configuration again.
// `after_stop`: the reset comes just after a stop command, when the board's queue was being
// cleared anyway and only its counts can tell.
class BoardResetEndToEnd : public LinkEndToEnd {
 protected:
  void ResetMidProgram(bool after_stop) {
    ASSERT_NO_FATAL_FAILURE(StreamFiveStepProgram(true));
    const HostBlock& engine = host_->blocks().engine;
    if (after_stop) {
      board_.TakePacketLog();
      library_.api().Notify(-1);
      const bool stopped = RunUntil(
          [&] {
            for (const sim::PacketRecord& p : board_.TakePacketLog()) {
              if (p.opcode == kOpStopMotion) return true;
            }
            return false;
          },
          500);
      ASSERT_TRUE(stopped);
    }
    const int32_t dro = Position(0);
    const int64_t executed = board_.Stats().steps_executed[0];
    ASSERT_GT(board_.Counts()[0], 0);
    board_.Reset();
    const bool lost = RunUntil([&] { return Shown(kBoardLostPosition); }, 1000);
    Run(2000);
    std::printf(
        "reset while connected%s: board executed %lld of 3000 steps, DRO %d, host queue "
        "%d\n",
        after_stop ? " after a stop" : "", static_cast<long long>(board_.Stats().steps_executed[0]),
        Position(0), host_->QueuedSegments());
    ASSERT_TRUE(lost);
    EXPECT_EQ(host_->StatusText(), kBoardLostPosition);
    EXPECT_EQ(host_->QueuedSegments(), 0);  // the program is over, not resumed shifted
    EXPECT_EQ(board_.Fill(), 0u);
    // What the board ran between its reset and the second reply that bore it out, at most.
    EXPECT_LE(board_.Stats().steps_executed[0] - executed, 3 * 7 * 5);
    EXPECT_EQ(Position(0), dro);
    for (int a = 0; a < 6; ++a) EXPECT_FALSE(engine.Get(engine::kAxisReferenced[a])) << a;
    EXPECT_TRUE(board_.ConfigWord(kOpSetStepClock).has_value());
    EXPECT_EQ(BoardOpens(), 1);  // the link never dropped
  }
};

TEST_F(BoardResetEndToEnd, MidProgramStopsItAndUnreferencesTheAxes) {
  ResetMidProgram(/*after_stop=*/false);
}

TEST_F(BoardResetEndToEnd, RightAfterAStopIsToldFromTheCounts) {
  ResetMidProgram(/*after_stop=*/true);
}

// A healthy board with a habit of its own, one its contract allows: whatever the habit, the
// link must not take it for a board that lost its position or its queue.
template <sim::BoardHabits (*kHabits)()>
class HabitsEndToEnd : public LinkEndToEnd {
 protected:
  HabitsEndToEnd() : LinkEndToEnd(kHabits()) {}

  // Aligned, every axis homed, the given axes enabled.
  void ConnectHomed(std::initializer_list<int> enabled) {
    Start();
    const HostBlock& engine = host_->blocks().engine;
    for (const int a : enabled) engine.Set(engine::kAxisEnabled[a], true);
    for (int a = 0; a < 6; ++a) engine.Set(engine::kAxisReferenced[a], true);
    ASSERT_TRUE(RunUntilStatus(kConnected, 1000));
    Run(300);
  }
  void Program(int segments, const std::array<double, 6>& steps) {
    for (int i = 0; i < segments; ++i) ASSERT_TRUE(host_->PushSegment(steps.data()));
    host_->blocks().planner.Set(planner::kFlushPartial, true);  // the program ends there
  }
  // Nothing queued anywhere for a while: a slow board may run dry between two packets.
  bool Drained(uint32_t max_ms) {
    uint32_t idle_ms = 0;
    return RunUntil(
        [&] {
          idle_ms = host_->QueuedSegments() == 0 && board_.Fill() == 0 ? idle_ms + 1 : 0;
          return idle_ms > 300;
        },
        max_ms);
  }
  void ExpectNothingLost() {
    EXPECT_FALSE(Shown(kBoardLostPosition));
    EXPECT_FALSE(Shown(kLostQueue));
    for (int a = 0; a < 6; ++a) {
      EXPECT_TRUE(host_->blocks().engine.Get(engine::kAxisReferenced[a])) << "axis " << a;
    }
  }
};

sim::BoardHabits ComposesLate() {
  sim::BoardHabits h;
  h.compose_late_max_ms = 25;
  h.compose_seed = 11;
  return h;
}
using LateComposingBoard = HabitsEndToEnd<ComposesLate>;

// Its replies show the motion packets it took after their requests, and, around a drop, the
// start-up stop sent after the measuring request.
TEST_F(LateComposingBoard, RunsAProgramAndADropThroughWithEveryStepOnce) {
  ASSERT_NO_FATAL_FAILURE(ConnectHomed({0}));
  const std::array<double, 6> five{5, 0, 0, 0, 0, 0};
  // The planner hands the program over as it makes it, so packets go out between a request
  // and its reply.
  for (int i = 0; i < 800; ++i) {
    ASSERT_TRUE(host_->PushSegment(five.data()));
    Run(3);
  }
  host_->blocks().planner.Set(planner::kFlushPartial, true);
  ASSERT_TRUE(Drained(10000));
  Run(200);
  EXPECT_EQ(board_.Stats().steps_executed[0], 4000);
  EXPECT_EQ(Position(0), board_.Counts()[0]);
  ExpectNothingLost();

  ASSERT_NO_FATAL_FAILURE(Program(600, five));
  Run(600);
  ASSERT_GT(board_.Fill(), 0u);
  board_.Unplug(/*runs_on=*/true);
  ASSERT_TRUE(RunUntilStatus(kPulledOut, 500));
  board_.Replug();
  ASSERT_TRUE(RunUntilStatus(kConnected, 1000)) << host_->StatusText();
  ASSERT_TRUE(Drained(5000));
  Run(200);
  EXPECT_EQ(board_.Stats().steps_executed[0], 7000);
  EXPECT_EQ(Position(0), board_.Counts()[0]);
  ExpectNothingLost();
}

sim::BoardHabits CountsThroughTheSegmentInHand() {
  sim::BoardHabits h;
  h.fill_excludes_in_hand = true;
  h.counts_step_through = true;
  return h;
}
using SteppingThroughBoard = HabitsEndToEnd<CountsThroughTheSegmentInHand>;

// A slow board whose counts run through the segment in hand and whose fill leaves it out:
// a stop, or an abort, cuts that segment where the last reply saw it.
TEST_F(SteppingThroughBoard, StopsInsideTheSegmentInHandKeepTheDroOnTheBoard) {
  ASSERT_NO_FATAL_FAILURE(ConnectHomed({0}));
  board_.SetSegmentMs(120);
  const std::array<double, 6> forty{40, 0, 0, 0, 0, 0};
  for (const int32_t code : {-1, 10}) {
    ASSERT_NO_FATAL_FAILURE(Program(200, forty));
    Run(1037);
    ASSERT_GT(board_.Fill(), 1u);
    library_.api().Notify(code);
    Run(1500);
    EXPECT_EQ(board_.Fill(), 0u) << code;
    EXPECT_EQ(Position(0), board_.Counts()[0]) << code;
    ExpectNothingLost();
  }
  // The machine streams on from where the stops left it.
  const int32_t stopped_at = board_.Counts()[0];
  ASSERT_NO_FATAL_FAILURE(Program(20, forty));
  ASSERT_TRUE(Drained(10000));
  Run(500);
  EXPECT_EQ(board_.Counts()[0] - stopped_at, 800);
  EXPECT_EQ(Position(0), board_.Counts()[0]);
  ExpectNothingLost();
}

sim::BoardHabits CountsFiveChannels() {
  sim::BoardHabits h;
  h.counted_channels = 0x1f;
  return h;
}
using FiveChannelBoard = HabitsEndToEnd<CountsFiveChannels>;

// With axes 3, 4 and 5 enabled, axis 5 goes out on channel 5, which this board has no motor
// for and which no displayed position reads.
TEST_F(FiveChannelBoard, MovesOfAxisFiveAndTheOthersAreNoReset) {
  ASSERT_NO_FATAL_FAILURE(ConnectHomed({0, 3, 4, 5}));
  ASSERT_NO_FATAL_FAILURE(Program(300, {0, 0, 0, 0, 0, 5}));
  ASSERT_TRUE(Drained(10000));
  Run(300);
  ExpectNothingLost();
  const std::array<double, 6> all{2, 1, 3, 4, 6, 5};
  ASSERT_NO_FATAL_FAILURE(Program(300, all));
  ASSERT_TRUE(Drained(10000));
  Run(300);
  const sim::BoardStats stats = board_.Stats();
  EXPECT_EQ(stats.steps_executed[5], 3000);
  const sim::ChannelSteps counts = board_.Counts();
  for (const int c : {0, 1, 2, 3, 4}) {
    EXPECT_EQ(stats.steps_executed[c], 300 * static_cast<int64_t>(all[c])) << c;
    EXPECT_EQ(Position(c), counts[c]) << c;
  }
  ExpectNothingLost();
}

TEST_F(LinkEndToEnd, StuckWriteClosesTheLinkAfterFourSecondsAndReconnects) {
  Start();
  ASSERT_TRUE(RunUntilStatus(kConnected, 1000));
  board_.StallWrites(true);
  const uint32_t stalled_at = now_;
  ASSERT_TRUE(RunUntil([&] { return BoardOpens() == 2; }, 6000));
  // The stuck-write clock counts whole seconds.
  EXPECT_GE(now_ - stalled_at, 3000u);
  EXPECT_LE(now_ - stalled_at, 5100u);

  board_.StallWrites(false);
  ASSERT_TRUE(RunUntilStatus(kConnected, 2000));
  const uint64_t requests = board_.Stats().packets[18];
  Run(500);
  EXPECT_GE(board_.Stats().packets[18], requests + 9);
}

TEST_F(LinkEndToEnd, DuplicatesWithoutABoardShowMessageOneUntilTheBoardComes) {
  board_.Unplug();
  bus_.AddInterface(0x1234, 0x5678, 0x0001, SimHidBus::Place::BeforeBoard);
  bus_.AddInterface(0x1234, 0x5678, 0x0001, SimHidBus::Place::BeforeBoard);
  Start();
  ASSERT_TRUE(RunUntilStatus(kDuplicates, 500));
  board_.Replug();
  ASSERT_TRUE(RunUntilStatus(kConnected, 1000));
  Run(500);
  EXPECT_EQ(host_->StatusText(), kConnected);  // not shown again once the board is open
}

TEST_F(LinkEndToEnd, DuplicatesAroundAnOpenedBoardAreNotShown) {
  bus_.AddInterface(0x1234, 0x5678, 0x0001, SimHidBus::Place::BeforeBoard);
  bus_.AddInterface(0x1234, 0x5678, 0x0001, SimHidBus::Place::BeforeBoard);
  const std::string after = bus_.AddInterface(0x8888, 0x0006, 0x0100, SimHidBus::Place::AfterBoard);
  Start();
  ASSERT_TRUE(RunUntilStatus(kConnected, 1000));
  Run(500);
  EXPECT_FALSE(Shown(kDuplicates));
  EXPECT_EQ(bus_.open_count(after), 0);  // the first match wins
}

TEST_F(LinkEndToEnd, WrongReleaseOrProductIsNeverOpened) {
  board_.Unplug();
  const std::string release =
      bus_.AddInterface(0x8888, 0x0006, 0x0101, SimHidBus::Place::BeforeBoard);
  const std::string product =
      bus_.AddInterface(0x8888, 0x0007, 0x0100, SimHidBus::Place::BeforeBoard);
  Start();
  Run(1000);
  EXPECT_GE(bus_.enumerate_count(), 15);
  EXPECT_EQ(bus_.open_count(release), 0);
  EXPECT_EQ(bus_.open_count(product), 0);
  EXPECT_EQ(host_->StatusText(), "");
  board_.Replug();
  EXPECT_TRUE(RunUntilStatus(kConnected, 1000));
}

// VASKEL_DEVICE=tcp:... with no bus lent: the plug-in finds the emulator over loopback.
TEST_F(LinkEndToEnd, EmulatorOverTcpChosenByTheEnvironment) {
  sim::BoardSimulator emulated(clock_);
  sim::TcpBoardServer server(emulated);
  std::string error;
  ASSERT_TRUE(server.Listen("127.0.0.1", 0, &error)) << error;
  const std::string device = "tcp:127.0.0.1:" + std::to_string(server.port());
  ASSERT_EQ(setenv("VASKEL_DEVICE", device.c_str(), 1), 0);
  env_.hid = nullptr;
  std::atomic<bool> stop{false};
  std::thread serving([&] {
    while (!stop.load()) server.Step(5);
  });
  Start();
  unsetenv("VASKEL_DEVICE");
  // Replies cross a real socket, so the bound is real time; the plug-in runs on virtual time.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (host_->StatusText() != kConnected && std::chrono::steady_clock::now() < deadline) {
    Tick();
    std::this_thread::yield();
  }
  EXPECT_EQ(host_->StatusText(), kConnected);
  EXPECT_EQ(emulated.ConfigWord(21), 286331153);
  EXPECT_EQ(board_.Stats().packets[18], 0u);  // the lent-bus board was not used
  host_.reset();
  library_.Unload();
  stop.store(true);
  serving.join();
}

}  // namespace
}  // namespace vaskel
