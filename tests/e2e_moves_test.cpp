// The built plug-in's own moves against the simulated board on virtual time, driven by the
// scenario runner: home, probe, jog, backlash take-up and a stop during a take-up.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "motion/motion_state.h"
#include "sim/scenario.h"
#include "sim/scenario_runner.h"
#include "sim/simulated_board_view.h"

namespace vaskel {
namespace {

constexpr const char* kAxes =
    "axis X steps 1000 velocity 40 accel 400 home_speed 50\n"
    "axis Z steps 1000 velocity 20 accel 300\n";

class MovesEndToEnd : public ::testing::Test {
 protected:
  void Run(const std::string& text) {
    std::string error;
    // Each run on a fresh board and scenario.
    scenario_ = sim::Scenario{};
    report_ = sim::RunReport{};
    board_ = std::make_unique<sim::SimulatedBoardView>();
    const std::string axes = axes_.empty() ? kAxes : axes_;
    ASSERT_TRUE(sim::ParseScenario(axes + text, &scenario_, &error)) << error;
    options_.plugin_path = VASKEL_PLUGIN_PATH;
    options_.profile_path = ::testing::TempDir() + "vaskel_e2e_moves_profile.xml";
    options_.trace_every_ms = 3;  // one board segment a row
    options_.keep_trace_rows = true;
    sim::ScenarioRunner runner(scenario_, options_, board_.get());
    ASSERT_TRUE(runner.Run(&report_, &error)) << error;
    rows_ = runner.trace().rows();
  }
  bool Passed(int32_t state) const {
    return std::any_of(rows_.begin(), rows_.end(),
                       [state](const sim::TraceRow& r) { return r.motion_state == state; });
  }
  // First row at or after `from` in `state`; rows_.size() when there is none.
  size_t Find(int32_t state, size_t from = 0) const {
    for (size_t i = from; i < rows_.size(); ++i) {
      if (rows_[i].motion_state == state) return i;
    }
    return rows_.size();
  }

  std::string axes_;  // axis lines instead of the usual two
  sim::Scenario scenario_;
  sim::RunOptions options_;
  std::unique_ptr<sim::SimulatedBoardView> board_;
  sim::RunReport report_;
  std::vector<sim::TraceRow> rows_;
};

TEST_F(MovesEndToEnd, HomeFindsTheSwitchBacksOffAtHalfSpeedAndReadsZero) {
  Run("signal 2 pin 3\nmachine home 0 min -3000 pin 3\nat 0.5 home X\nend 3\n");
  ASSERT_TRUE(Passed(kHomeSwitchReleased));
  EXPECT_EQ(rows_.back().motion_state, kRunning);
  EXPECT_EQ(report_.host_position[0], 0);
  // The switch releases just above -3000; the board's queue carries the axis a little on.
  EXPECT_GT(report_.board_count[0], -3000);
  EXPECT_LT(report_.board_count[0], -2700);
  // Seek at 30 steps a segment toward the switch, back off at 15.
  int32_t fastest_seek = 0, fastest_return = 0;
  for (size_t i = 1; i < rows_.size(); ++i) {
    const int32_t d = rows_[i].board_count[0] - rows_[i - 1].board_count[0];
    fastest_seek = std::min(fastest_seek, d);
    fastest_return = std::max(fastest_return, d);
  }
  EXPECT_EQ(fastest_seek, -30);
  EXPECT_EQ(fastest_return, 15);
  EXPECT_EQ(report_.underruns, 0u);
}

// 9 steps a segment toward the switch, an acceleration step of 4.5: the reversal to -4.5 lands
// on exactly zero on its way back off the switch, and must not end the home there.
TEST_F(MovesEndToEnd, HomeWhoseReversalLandsOnZeroStillBacksOffAndReferences) {
  axes_ = "axis X steps 200 velocity 30 accel 5000 home_speed 100\n";
  Run("signal 2 pin 3\nmachine home 0 min -3000 pin 3\nat 0.5 home X\nend 4\n");
  ASSERT_TRUE(Passed(kHomeSwitchReleased));
  EXPECT_EQ(rows_.back().motion_state, kRunning);
  EXPECT_EQ(report_.host_position[0], 0);
  EXPECT_GT(report_.board_count[0], -3000);
}

TEST_F(MovesEndToEnd, ProbeStopsOnTheTripAndReturnsToRunning) {
  Run("signal 22 pin 5\nmachine probe 2 min -2500 pin 5\nat 0.5 probe Z-5 F120\nend 4\n");
  const size_t tripped = Find(kProbeTripped);
  ASSERT_LT(tripped, rows_.size());
  EXPECT_LT(Find(kAwaitingSignal), tripped);
  EXPECT_EQ(rows_.back().motion_state, kRunning);
  // Tripped at -2500, stopped behind the board's queue, never anywhere near the target.
  EXPECT_LE(report_.board_count[2], -2500);
  EXPECT_GT(report_.board_count[2], -3500);
  EXPECT_EQ(report_.host_position[2], report_.board_count[2]);
}

TEST_F(MovesEndToEnd, JogRunsUntilJogOffAndTheRampLandsOnZero) {
  Run("at 0.5 jog X + 5\nat 1.5 jogoff X\nend 3\n");
  const size_t jogging = Find(kJogging);
  ASSERT_LT(jogging, rows_.size());
  const size_t stopped = Find(kRunning, jogging);
  ASSERT_LT(stopped, rows_.size());
  EXPECT_GT(rows_[stopped].time_ms, 1500u);
  EXPECT_EQ(report_.underruns, 0u);         // the move ended on empty segments, not a starved queue
  EXPECT_GT(report_.board_count[0], 5000);  // 15 steps a segment for a second
  EXPECT_EQ(report_.host_position[0], report_.board_count[0]);
  EXPECT_EQ(rows_.back().board_count[0], rows_[rows_.size() - 20].board_count[0]);
}

TEST_F(MovesEndToEnd, ReversalTakesUpBacklashOutsideTheHostPosition) {
  Run("at 0.2 backlash on\nat 0.2 backlash X 50 409600\n"
      "at 0.5 move X3 F1200\nat 0.5 move X1 F1200\nat 0.5 move X2 F1200\nend 3\n");
  ASSERT_TRUE(Passed(kBacklashTakeUp));
  EXPECT_EQ(report_.commanded[0], 2000);
  EXPECT_EQ(report_.host_position[0], 2000);
  // One take-up of -50 and one of +50: the board has made both, the host shows neither.
  EXPECT_EQ(report_.board_count[0], 2000);
}

TEST_F(MovesEndToEnd, OneTakeUpLeavesTheBoardItsAmountApart) {
  Run("at 0.2 backlash on\nat 0.2 backlash X 50 409600\n"
      "at 0.5 move X3 F1200\nat 0.5 move X1 F1200\nend 3\n");
  EXPECT_EQ(report_.host_position[0], 1000);
  EXPECT_EQ(report_.board_count[0], 1000 - 50);
}

// A stop during a take-up goes out once the take-up is generated, not after the board has run
// it: the take-up is cut, its record dropped, and the axis keeps its direction from before it.
// The host's position follows the board from there, and the next reversal takes up the whole
// amount again.
TEST_F(MovesEndToEnd, StopDuringATakeUpCutsItAndTheNextReversalTakesUpInFull) {
  // A 600-step take-up at one step a segment lasts 1.8 s; the stop comes in the middle.
  Run("at 0.2 backlash on\nat 0.2 backlash X 600 1\n"
      "at 0.5 move X1 F1200\nat 1.0 move X0 F1200\nat 1.8 notify -1\n"
      "at 3.5 move X2 F1200\nat 5.0 move X1 F1200\nend 8\n");
  const size_t take_up = Find(kBacklashTakeUp);
  ASSERT_LT(take_up, rows_.size());
  const size_t draining = Find(kStopDraining, take_up);
  ASSERT_LT(draining, rows_.size());
  const size_t running = Find(kRunning, draining);
  ASSERT_LT(running, rows_.size());
  // Cut: the board stood still short of the take-up's 600 steps.
  const int32_t stopped_at = rows_[running].board_count[0];
  EXPECT_GT(stopped_at, 1000 - 600);
  EXPECT_LT(stopped_at, 1000);
  EXPECT_EQ(rows_[running].host_position[0], stopped_at);
  // A unit up with no take-up, then a unit down behind a full one.
  const size_t next_take_up = Find(kBacklashTakeUp, running);
  ASSERT_LT(next_take_up, rows_.size());
  EXPECT_GE(rows_[next_take_up].time_ms, 5000u);
  EXPECT_EQ(report_.host_position[0], stopped_at);
  EXPECT_EQ(report_.host_position[0] - report_.board_count[0], 600);
  EXPECT_EQ(rows_.back().motion_state, kRunning);
}

// Jog, home and probe asked for while the host's program streams are refused and leave no
// trace in it: no state of their own, no empty segments in the contour, no trip armed on the
// program, and the home does not set off by itself once the program has ended.
TEST_F(MovesEndToEnd, MovesRefusedDuringAProgramLeaveItAlone) {
  Run("signal 2 pin 3\nmachine home 0 min -3000 pin 3\n"
      "signal 22 pin 5\nmachine probe 2 min -100 pin 5\n"
      "at 0.5 move X20 F600\nat 0.7 jog Z + 5\nat 0.8 home X\nat 0.9 probe Z-5 F60\n"
      "end 5\n");
  for (int32_t s : {kJogging, kAwaitingSignal, kHalted, kProbeTripped}) EXPECT_FALSE(Passed(s));
  EXPECT_EQ(report_.commanded[0], 20000);
  EXPECT_EQ(report_.host_position[0], 20000);
  EXPECT_EQ(report_.board_count[0], 20000);
  EXPECT_EQ(board_->board().Stats().pauses, 0u);
  EXPECT_EQ(report_.underruns, 0u);
  ASSERT_FALSE(report_.messages.empty());
  EXPECT_EQ(report_.messages.back().text, "Vornex queue is not empty, unable to start jog!");
}

// An abort ends what it interrupted and nothing else: a jog's E-stop keeps the homed axis's
// reference, and an E-stop over a dwell that held queued entries drops them, so the machine
// runs again once the E-stop is off. The home shows as active until its axis is referenced.
TEST_F(MovesEndToEnd, AbortsEndOnlyWhatTheyInterrupt) {
  Run("axis Y steps 1000 velocity 40 accel 400\n"
      "signal 2 pin 3\nmachine home 0 min -3000 pin 3\nat 0.3 home X\n"
      "at 2.5 jog Y + 5\nat 2.8 estop on\nat 3.0 estop off\n"
      "at 3.5 move X20 F600\nat 3.7 dwell 3\nat 3.9 estop on\nat 4.1 estop off\n"
      "at 4.5 jog Y - 5\nat 4.8 jogoff Y\nend 6\n");
  auto step_with = [&](const std::string& text) {
    return std::any_of(report_.steps.begin(), report_.steps.end(), [&](const sim::MessageEvent& e) {
      return e.text.find(text) != std::string::npos;
    });
  };
  EXPECT_TRUE(step_with("HomeSwitchReleased homing"));
  EXPECT_FALSE(step_with("HomeSwitchReleased  "));
  ASSERT_FALSE(report_.steps.empty());
  EXPECT_NE(report_.steps.back().text.find("Running ref-X"), std::string::npos)
      << report_.steps.back().text;
  const size_t jog = Find(kJogging, Find(kHalted, Find(kDwelling)));
  ASSERT_LT(jog, rows_.size());
  EXPECT_GE(rows_[jog].time_ms, 4500u);
  EXPECT_EQ(rows_.back().motion_state, kRunning);
  for (const sim::MessageEvent& m : report_.messages) {
    EXPECT_EQ(m.text.find("Jog function"), std::string::npos) << m.time_ms;
  }
}

// A zig-zag of short moves with backlash on: take-ups come faster than status replies, so
// several can be executed and not yet retired when the machine stops.
std::string ZigZag(int pairs, const char* at) {
  std::string text = "at 0.2 backlash on\nat 0.2 backlash X 50 2048000\n";  // 30 steps a segment
  for (int i = 0; i < pairs; ++i) {
    text += std::string("at ") + at + " move X0.06 F600\n";
    text += std::string("at ") + at + " move X0 F600\n";
  }
  return text;
}

// However an emergency stop cuts the take-ups (executed and unretired, running, still queued),
// the host's position keeps its distance from the board's count: after a last move in the
// negative direction that distance is the one negative take-up, as if nothing had stopped.
TEST_F(MovesEndToEnd, EStopDuringCompensatedContouringKeepsTheBooksStraight) {
  for (int estop_ms : {560, 590, 620, 650, 680, 710, 740, 770}) {
    SCOPED_TRACE(estop_ms);
    const std::string t = std::to_string(estop_ms / 1000.0);
    Run(ZigZag(30, "0.5") + "at " + t + " estop on\nat 1.5 estop off\n" +
        "at 1.7 move X-1 F600\nend 3.5\n");
    ASSERT_TRUE(Passed(kHalted));
    EXPECT_EQ(rows_.back().motion_state, kRunning);
    EXPECT_EQ(report_.host_position[0] - report_.board_count[0], 50);
  }
}

// A take-up pauses the contour twice, before and after its own moves; the host's segments
// that follow go out in full packets, without empty segments among them.
TEST_F(MovesEndToEnd, TakeUpsPauseTheContourOnlyAroundThemselves) {
  constexpr int kPairs = 20;
  Run(ZigZag(kPairs, "0.5") + "end 8\n");
  const uint64_t take_ups = 2 * kPairs - 1;
  EXPECT_LE(board_->board().Stats().pauses, 2 * take_ups);
  EXPECT_EQ(report_.underruns, 0u);
  EXPECT_EQ(report_.segments_consumed, report_.segments_queued);
  EXPECT_EQ(report_.host_position[0], 0);
  EXPECT_EQ(report_.board_count[0], -50);  // the last take-up was a negative one
  RecordProperty("pauses", static_cast<int>(board_->board().Stats().pauses));
}

}  // namespace
}  // namespace vaskel
