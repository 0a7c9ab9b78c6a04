// vaskel-host: the substitute host as a program. Loads the built plug-in, runs it through the
// host's calling order with Update every few milliseconds, and reports what it showed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "sim/chaos/chaos_command.h"
#include "sim/plugin_loader.h"
#include "sim/scenario.h"
#include "sim/scenario_runner.h"
#include "sim/simulated_board_view.h"
#include "sim/substitute_host.h"

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: vaskel-host [--plugin PATH] [--profile FILE] [--update-ms N] "
               "[--duration-ms N]\n"
               "       vaskel-host run SCENARIO [--plugin PATH] [--profile FILE] "
               "[--trace CSV] [--svg SVG]\n"
               "       vaskel-host chaos --seeds A..B [--minutes M] | --seed N --replay\n");
}

// Runs a scenario against the in-process simulator on virtual time, or, when VASKEL_DEVICE
// names another board, against that board on real time.
int RunScenario(int argc, char** argv, std::string plugin) {
  vaskel::sim::RunOptions options;
  options.plugin_path = std::move(plugin);
  std::string path;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "--plugin" && value) {
      options.plugin_path = value, ++i;
    } else if (arg == "--profile" && value) {
      options.profile_path = value, ++i;
    } else if (arg == "--trace" && value) {
      options.csv_path = value, ++i;
    } else if (arg == "--svg" && value) {
      options.svg_path = value, ++i;
    } else if (path.empty() && arg[0] != '-') {
      path = arg;
    } else {
      Usage();
      return 2;
    }
  }
  if (path.empty()) {
    Usage();
    return 2;
  }
  vaskel::sim::Scenario scenario;
  std::string error;
  if (!vaskel::sim::LoadScenarioFile(path, &scenario, &error)) {
    std::fprintf(stderr, "vaskel-host: %s: %s\n", path.c_str(), error.c_str());
    return 1;
  }
  const char* device = std::getenv("VASKEL_DEVICE");
  const bool simulated = !device || std::string(device).empty() || std::string(device) == "sim";
  std::unique_ptr<vaskel::sim::SimulatedBoardView> board;
  if (simulated) board = std::make_unique<vaskel::sim::SimulatedBoardView>();
  std::printf("scenario %s against %s (%s time)\n", path.c_str(),
              simulated ? "the simulated board" : device, simulated ? "virtual" : "real");
  vaskel::sim::ScenarioRunner runner(scenario, options, board.get());
  vaskel::sim::RunReport report;
  if (!runner.Run(&report, &error)) {
    std::fprintf(stderr, "vaskel-host: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s", vaskel::sim::FormatReport(report).c_str());
  if (!options.csv_path.empty()) std::printf("trace written to %s\n", options.csv_path.c_str());
  if (!options.svg_path.empty()) std::printf("picture written to %s\n", options.svg_path.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string plugin = vaskel::sim::DefaultPluginPath(argv[0], VASKEL_DEFAULT_PLUGIN);
  if (argc >= 2 && std::string(argv[1]) == "run") return RunScenario(argc, argv, plugin);
  if (argc >= 2 && std::string(argv[1]) == "chaos")
    return vaskel::chaos::ChaosMain(argc - 1, argv + 1);
  std::string profile = vaskel::sim::DefaultProfilePath();
  int update_ms = 50;
  int duration_ms = 1000;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* value = nullptr;
    if (arg == "--plugin" && (value = next())) {
      plugin = value;
    } else if (arg == "--profile" && (value = next())) {
      profile = value;
    } else if (arg == "--update-ms" && (value = next())) {
      update_ms = std::atoi(value);
    } else if (arg == "--duration-ms" && (value = next())) {
      duration_ms = std::atoi(value);
    } else {
      Usage();
      return 2;
    }
  }
  if (update_ms <= 0 || duration_ms < 0) {
    Usage();
    return 2;
  }

  vaskel::sim::LoadedPlugin library;
  std::string error;
  if (!library.Load(plugin, &error)) {
    std::fprintf(stderr, "vaskel-host: cannot load %s: %s\n", plugin.c_str(), error.c_str());
    return 1;
  }
  {
    vaskel::sim::SubstituteHost host(library.api());
    const std::string display = host.Start(profile);
    std::printf("plug-in: %s\n", display.c_str());

    using Clock = std::chrono::steady_clock;
    const auto due_in = reinterpret_cast<int32_t (*)()>(library.Find("VaskelTimerDueInMs"));
    const auto end = Clock::now() + std::chrono::milliseconds(duration_ms);
    auto next_update = Clock::now();
    std::string last_status;
    while (Clock::now() < end) {
      if (Clock::now() >= next_update) {
        host.Update();
        next_update += std::chrono::milliseconds(update_ms);
      }
      host.PumpTimers();
      const std::string status = host.StatusText();
      if (status != last_status) {
        std::printf("status: %s\n", status.c_str());
        last_status = status;
      }
      // Asleep until the next Update or tick, whichever comes first.
      auto wake = std::min(next_update, end);
      const int32_t tick_in = due_in ? due_in() : 10;
      if (tick_in >= 0) wake = std::min(wake, Clock::now() + std::chrono::milliseconds(tick_in));
      std::this_thread::sleep_until(wake);
    }
    host.Stop();
    std::printf("status line at stop: \"%s\"\n", host.StatusText().c_str());
  }
  library.Unload();
  return 0;
}
