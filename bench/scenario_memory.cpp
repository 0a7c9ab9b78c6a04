// The scenario runner's peak memory against the length of the run: a program of back-and-forth
// moves for one minute and for N hours (10 unless given), each run in a child process on
// virtual time against the simulated board, trace streamed to /dev/null and the picture drawn.
// Prints each run's peak resident set and the difference.
//
//   vaskel-scenario-memory [HOURS]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/scenario.h"
#include "sim/scenario_runner.h"
#include "sim/simulated_board_view.h"

namespace {

// Moves of about 15 s each between X0 and X150, Y stepping along, ending before the end.
std::string Program(uint32_t seconds) {
  std::string text =
      "axis X steps 1000 velocity 60 accel 800\n"
      "axis Y steps 1000 velocity 60 accel 800\n";
  const uint32_t moves = seconds / 16 - 1;
  for (uint32_t i = 0; i < moves; ++i) {
    text += "at 0.2 move X" + std::string(i % 2 ? "0" : "150") + " Y" + std::to_string(i % 50) +
            " F600\n";
  }
  return text + "end " + std::to_string(seconds) + "\n";
}

int RunOnce(uint32_t seconds) {
  vaskel::sim::Scenario scenario;
  std::string error;
  if (!vaskel::sim::ParseScenario(Program(seconds), &scenario, &error)) {
    std::fprintf(stderr, "scenario: %s\n", error.c_str());
    return 1;
  }
  vaskel::sim::RunOptions options;
  options.plugin_path = VASKEL_PLUGIN_PATH;
  options.csv_path = "/dev/null";
  options.svg_path = "/dev/null";
  vaskel::sim::SimulatedBoardView board;
  vaskel::sim::ScenarioRunner runner(scenario, options, &board);
  vaskel::sim::RunReport report;
  if (!runner.Run(&report, &error)) {
    std::fprintf(stderr, "run: %s\n", error.c_str());
    return 1;
  }
  if (report.segments_consumed != report.segments_queued || report.underruns != 0) {
    std::fprintf(stderr, "run: the trajectory did not arrive whole\n");
    return 1;
  }
  return 0;
}

// Peak resident set of one run in a child process, in KiB; negative on failure.
long PeakKiB(uint32_t seconds, double* wall_s) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) _exit(RunOnce(seconds));
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    return -1;
  }
  *wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  const double hours = argc > 1 ? std::atof(argv[1]) : 10.0;
  if (!(hours > 0) || hours > 100) {
    std::fprintf(stderr, "usage: vaskel-scenario-memory [HOURS]\n");
    return 2;
  }
  double short_s = 0, long_s = 0;
  const long short_kib = PeakKiB(60, &short_s);
  const long long_kib = PeakKiB(static_cast<uint32_t>(hours * 3600), &long_s);
  if (short_kib < 0 || long_kib < 0) return 1;
  std::printf("one minute      peak %7.1f MB  (%.1f s)\n", short_kib / 1024.0, short_s);
  std::printf("%5.1f hours     peak %7.1f MB  (%.1f s)\n", hours, long_kib / 1024.0, long_s);
  std::printf("difference           %7.1f MB  (flat: within 2 MB)\n",
              (long_kib - short_kib) / 1024.0);
  return long_kib - short_kib <= 2048 ? 0 : 1;
}
