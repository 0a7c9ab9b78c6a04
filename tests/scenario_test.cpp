#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <vector>

#include "sim/host_planner.h"
#include "sim/scenario.h"
#include "sim/trace_writer.h"

namespace vaskel::sim {
namespace {

TEST(ScenarioParser, ReadsConfigurationAndSortsActionsByTime) {
  Scenario s;
  std::string error;
  ASSERT_TRUE(
      ParseScenario("# demo\n"
                    "axis X steps 1000 velocity 50 accel 500\n"
                    "signal 0 pin 1 active-low\n"
                    "machine limit 0 max 50000 pin 1\n"
                    "at 2 notify -1   # stop\n"
                    "at 0.5 move X10 F600\n"
                    "at 2 spindle off\n"
                    "end 3\n",
                    &s, &error))
      << error;
  EXPECT_EQ(s.end_ms, 3000u);
  ASSERT_EQ(s.actions.size(), 3u);
  EXPECT_EQ(s.actions[0].words[0], "move");
  EXPECT_EQ(s.actions[0].at_ms, 500u);
  EXPECT_EQ(s.actions[1].words[0], "notify");  // same time: file order kept
  EXPECT_EQ(s.actions[2].words[0], "spindle");
  EXPECT_EQ(s.config.size(), 2u);
  ASSERT_EQ(s.machine_lines.size(), 1u);
  EXPECT_EQ(s.machine_lines[0], " limit 0 max 50000 pin 1");
}

TEST(ScenarioParser, RejectsBadLinesWithTheirNumber) {
  Scenario s;
  std::string error;
  EXPECT_FALSE(ParseScenario("end 1\nat x move X1\n", &s, &error));
  EXPECT_EQ(error.rfind("line 2:", 0), 0u) << error;
  EXPECT_FALSE(ParseScenario("at 1 explode\n", &s, &error));
  EXPECT_NE(error.find("unknown action"), std::string::npos);
  EXPECT_FALSE(ParseScenario("bogus\n", &s, &error));
  EXPECT_FALSE(ParseScenario("end -1\n", &s, &error));
  EXPECT_FALSE(ParseScenario("end nan\n", &s, &error));
  EXPECT_FALSE(LoadScenarioFile("/nonexistent/scenario", &s, &error));
}

// A run that starts can finish: every line is checked before, and every problem is told with
// its line. A misspelt "active_low" once wired the input active-high without a word; a bad
// action's arguments once stopped the run half-way.
TEST(ScenarioParser, ChecksEveryLineBeforeTheRunAndTellsEveryProblem) {
  const std::string path = ::testing::TempDir() + "vaskel_scenario_check.scn";
  {
    std::ofstream f(path);
    f << "axis X steps 1000 velocity 40 accel 400 speed 3\n"  // 1: unknown setting
         "signal 2 pin 3 active_low\n"                        // 2: the other spelling
         "machine home 0 min -3000 pin 3\n"
         "at 1 move X1 Q3\n"               // 4: unknown word
         "at 2 jog X\n"                    // 5: no direction
         "at 3 home X now\n"               // 6: a word too many
         "machine limit 7 max 10 pin 1\n"  // 7: no axis 7
         "at 4 dwell 1\n"
         "end 5\n";
  }
  Scenario s;
  std::string error;
  ASSERT_FALSE(LoadScenarioFile(path, &s, &error));
  std::vector<std::string> lines;
  std::istringstream in(error);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 6u) << error;
  const char* const expected[] = {":1: unknown axis setting 'speed'",
                                  ":2: unexpected 'active_low'",
                                  ":4: bad word 'Q3'",
                                  ":5: jog needs an axis and + or -",
                                  ":6: unexpected 'now'",
                                  ":7: machine: axis '7' is not 0..5"};
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].rfind(path + expected[i], 0), 0u) << lines[i];
  }
  EXPECT_FALSE(LoadScenarioFile(::testing::TempDir(), &s, &error));
  EXPECT_NE(error.find("is a directory"), std::string::npos) << error;
  EXPECT_FALSE(ParseScenario("# nothing\n", &s, &error));
  EXPECT_NE(error.find("nothing to run"), std::string::npos) << error;
}

TEST(ScenarioParser, AxisNames) {
  EXPECT_EQ(AxisIndex("X"), 0);
  EXPECT_EQ(AxisIndex("c"), 5);
  EXPECT_EQ(AxisIndex("3"), 3);
  EXPECT_EQ(AxisIndex("6"), -1);
  EXPECT_EQ(AxisIndex("XY"), -1);
}

int64_t Sum(HostPlanner& p, int axis, int* segments, double* largest) {
  std::array<double, kAxes> c{};
  int64_t sum = 0;
  *segments = 0;
  *largest = 0;
  while (p.NextSegment(c)) {
    EXPECT_EQ(c[axis], std::trunc(c[axis]));
    sum += static_cast<int64_t>(c[axis]);
    *largest = std::max(*largest, std::fabs(c[axis]));
    ++*segments;
  }
  return sum;
}

TEST(HostPlanner, SegmentsAddUpExactlyToTheCommandedSteps) {
  HostPlanner p;
  p.limits()[0] = {1000, 50, 500};
  p.limits()[1] = {800, 50, 500};
  std::string error;
  ASSERT_TRUE(p.AddMove({10.0, -3.3333, 0, 0, 0, 0}, 20.0, &error)) << error;
  EXPECT_EQ(p.commanded_steps()[0], 10000);
  EXPECT_EQ(p.commanded_steps()[1], -2667);
  int segments = 0;
  double largest = 0;
  HostPlanner copy = p;
  EXPECT_EQ(Sum(p, 0, &segments, &largest), 10000);
  EXPECT_EQ(Sum(copy, 1, &segments, &largest), -2667);
}

TEST(HostPlanner, TrapezoidCruisesAtTheFeedAndTriangleNeverReachesIt) {
  HostPlanner p;
  p.limits()[0] = {1000, 100, 500};
  std::string error;
  // 20 units at 20 units/s with 500 units/s²: 0.04 s ramps, about 1.04 s in all.
  ASSERT_TRUE(p.AddMove({20, 0, 0, 0, 0, 0}, 20.0, &error));
  int segments = 0;
  double largest = 0;
  Sum(p, 0, &segments, &largest);
  EXPECT_NEAR(segments, 1040 / 3, 2);
  EXPECT_NEAR(largest, 60, 1);  // 20 units/s × 1000 steps × 3 ms

  // 0.1 units cannot reach 20 units/s: peak sqrt(500 × 0.1) ≈ 7.07 units/s.
  ASSERT_TRUE(p.AddMove({20.1, 0, 0, 0, 0, 0}, 20.0, &error));
  Sum(p, 0, &segments, &largest);
  EXPECT_LE(largest, 23);
}

TEST(HostPlanner, RefusesMovesItCannotPlan) {
  HostPlanner p;
  p.limits()[2].velocity = 0;
  std::string error;
  EXPECT_FALSE(p.AddMove({0, 0, 5, 0, 0, 0}, 10, &error));
  EXPECT_FALSE(p.AddMove({NAN, 0, 0, 0, 0, 0}, 10, &error));
  EXPECT_FALSE(p.AddMove({1, 0, 0, 0, 0, 0}, -1, &error));
  EXPECT_TRUE(p.AddMove({0, 0, 0, 0, 0, 0}, 10, &error));  // no distance: nothing to do
  EXPECT_TRUE(p.idle());
}

TEST(TraceWriter, CsvHasAHeaderAndOneLinePerRowAndSvgDrawsBothPlots) {
  TraceWriter t;
  TraceRow r;
  r.time_ms = 10;
  r.board_fill = 40;
  r.host_position[0] = 123;
  t.Add(r);
  r.time_ms = 20;
  t.Add(r);
  const std::string csv = t.Csv();
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 3);
  EXPECT_EQ(csv.rfind("time_ms,motion_state,board_fill,device_needs_data,pos_X", 0), 0u);
  const std::string svg = t.Svg(1);
  EXPECT_EQ(svg.rfind("<svg", 0), 0u);
  EXPECT_NE(svg.find("</svg>"), std::string::npos);
  EXPECT_NE(svg.find("board queue fill"), std::string::npos);
  EXPECT_NE(svg.find("<polyline"), std::string::npos);
}

}  // namespace
}  // namespace vaskel::sim
