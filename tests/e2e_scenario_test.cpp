// The built plug-in in the substitute host, streaming planned trajectories to the simulated
// board on virtual time.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/scenario.h"
#include "sim/scenario_runner.h"
#include "sim/simulated_board_view.h"

namespace vaskel::sim {
namespace {

RunReport RunText(const std::string& text, SimulatedBoardView& board,
                  TraceWriter* trace = nullptr) {
  Scenario scenario;
  std::string error;
  EXPECT_TRUE(ParseScenario(text, &scenario, &error)) << error;
  RunOptions options;
  options.plugin_path = VASKEL_PLUGIN_PATH;
  options.profile_path = ::testing::TempDir() + "e2e-scenario-profile.xml";
  options.keep_trace_rows = trace != nullptr;
  ScenarioRunner runner(scenario, options, &board);
  RunReport report;
  EXPECT_TRUE(runner.Run(&report, &error)) << error;
  if (trace) *trace = runner.trace();
  return report;
}

TEST(EndToEndStreaming, ASixtySecondTrajectoryArrivesWholeWithoutUnderruns) {
  // Zig-zags of two axes for a little over a minute, with a third axis stepping down.
  std::string text =
      "axis X steps 1000 velocity 60 accel 800\n"
      "axis Y steps 1000 velocity 60 accel 800\n"
      "axis Z steps 800 velocity 20 accel 300\n";
  double y = 0;
  for (int i = 0; i < 40; ++i) {
    y += 1.25;
    text += "at 0.2 move X" + std::to_string(i % 2 ? 0 : 40) + " Y" + std::to_string(y) + " Z" +
            std::to_string(-0.1 * i) + " F1500\n";
  }
  text += "end 85\n";
  SimulatedBoardView board;
  TraceWriter trace;
  const RunReport r = RunText(text, board, &trace);

  EXPECT_GT(r.segments_queued, 60000u / 3);  // more than a minute of 3 ms segments
  EXPECT_EQ(r.segments_consumed, r.segments_queued);
  EXPECT_GE(r.board_segments, r.segments_queued);  // plus the empty padding of the tail
  EXPECT_EQ(r.underruns, 0u);
  EXPECT_LE(r.highest_fill, 200);
  for (int a = 0; a < 3; ++a) {
    EXPECT_EQ(r.board_count[a], r.commanded[a]) << "axis " << a;
    EXPECT_EQ(r.host_position[a], r.board_count[a]) << "axis " << a;
  }
  EXPECT_EQ(r.commanded[1], 50000);
  // The planner was told when the board had room, and the host saw the positions move.
  ASSERT_FALSE(trace.rows().empty());
  EXPECT_TRUE(std::any_of(trace.rows().begin(), trace.rows().end(),
                          [](const TraceRow& row) { return row.device_needs_data == 0; }));
  ASSERT_EQ(r.messages.size(), 1u);
  EXPECT_EQ(r.messages[0].text, "vaskel device is connnected to your computer!");
}

TEST(EndToEndStreaming, ALimitTripMidMoveStopsTheBoardAndDropsTheHostQueue) {
  SimulatedBoardView board;
  const RunReport r = RunText(
      "axis X steps 1000 velocity 60 accel 800\n"
      "signal 1 pin 2\n"
      "machine limit 0 max 5000 pin 2\n"
      "at 0.2 move X20 F1200\n"
      "end 4\n",
      board);
  const auto& stats = board.board().Stats();
  // The start-up configuration sends one stop; the trip exactly one more.
  EXPECT_EQ(stats.packets[19], 2u);
  EXPECT_GE(r.board_count[0], 5000);
  EXPECT_LT(r.board_count[0], 8000);  // stopped well short of the 20000 commanded
  EXPECT_EQ(r.host_position[0], r.board_count[0]);
  // The trip dropped the host's queue: everything queued left the ring, but much of it never
  // reached the board.
  EXPECT_EQ(r.segments_consumed, r.segments_queued);
  EXPECT_LT(r.board_segments + 100, r.segments_queued);
  bool limit_message = false;
  for (const MessageEvent& m : r.messages) {
    limit_message |= m.text == "Limits switch is actived, check you axises position!";
  }
  EXPECT_TRUE(limit_message);
  EXPECT_EQ(board.fill(), 0);
}

TEST(EndToEndStreaming, SpindleValueRampsOnTheBoard) {
  SimulatedBoardView board;
  RunText(
      "axis X steps 1000 velocity 60 accel 800\n"
      "at 0.2 spindle 0.5\n"
      "end 2\n",
      board);
  const auto last = board.board().LastStatusRequest();
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(last->spindle, 100);
}

}  // namespace
}  // namespace vaskel::sim
