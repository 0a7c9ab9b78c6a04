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

#include "platform/device_selection.h"
#include "sim/chaos/chaos_command.h"
#include "sim/plugin_loader.h"
#include "sim/scenario.h"
#include "sim/scenario_runner.h"
#include "sim/simulated_board_view.h"
#include "sim/substitute_host.h"

namespace {

constexpr const char* kUsage =
    "usage: vaskel-host [--plugin PATH] [--profile FILE] [--update-ms N] [--duration-ms N]\n"
    "       vaskel-host run SCENARIO [--plugin PATH] [--profile FILE] [--trace CSV] [--svg SVG]\n"
    "       vaskel-host chaos --help\n"
    "\n"
    "The first form loads the plug-in and calls Update for a while against the board\n"
    "VASKEL_DEVICE names (unset: the USB bus). `run` plays a scenario file against the\n"
    "simulated board on virtual time (VASKEL_DEVICE unset or sim), or against the emulator\n"
    "VASKEL_DEVICE=tcp:HOST:PORT names, on real time.\n";

// Asked for: on standard output. After a mistake: on standard error, after the mistake.
int Usage(const std::string& mistake = {}) {
  if (mistake.empty()) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::fprintf(stderr, "vaskel-host: %s\n%s", mistake.c_str(), kUsage);
  return 2;
}

bool WantsHelp(int argc, char** argv, int from) {
  for (int i = from; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
  }
  return false;
}

// A whole positive number of milliseconds.
bool ParseMs(const char* text, int* out) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (!*text || *end || v < 0 || v > 86400000) return false;
  *out = static_cast<int>(v);
  return true;
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
    const bool takes_value =
        arg == "--plugin" || arg == "--profile" || arg == "--trace" || arg == "--svg";
    if (takes_value && !value) return Usage(arg + " needs a value");
    if (arg == "--plugin") {
      options.plugin_path = value, ++i;
    } else if (arg == "--profile") {
      options.profile_path = value, ++i;
    } else if (arg == "--trace") {
      options.csv_path = value, ++i;
    } else if (arg == "--svg") {
      options.svg_path = value, ++i;
    } else if (arg.empty() || arg[0] == '-') {
      return Usage("unknown option '" + arg + "'");
    } else if (path.empty()) {
      path = arg;
    } else {
      return Usage("a second scenario '" + arg + "' (after '" + path + "')");
    }
  }
  if (path.empty()) return Usage("run needs a scenario file");
  vaskel::sim::Scenario scenario;
  std::string error;
  if (!vaskel::sim::LoadScenarioFile(path, &scenario, &error)) {
    // FILE:LINE: message, one a line, as editors jump to them.
    std::fprintf(stderr, "%s\nvaskel-host: %s not run\n", error.c_str(), path.c_str());
    return 1;
  }
  // What the plug-in would not use, the run refuses: a run against a board nobody meant.
  const char* device = std::getenv("VASKEL_DEVICE");
  const vaskel::DeviceSelection selection = vaskel::ParseDeviceSelection(device);
  if (!selection.problem.empty()) {
    std::fprintf(stderr, "vaskel-host: VASKEL_DEVICE=\"%s\" is not a board the plug-in uses: %s\n",
                 device, selection.problem.c_str());
    return 2;
  }
  const bool simulated = selection.kind != vaskel::DeviceSelection::Kind::Tcp;
  if (!simulated) {
    for (const std::string& line : vaskel::sim::UnsentToExternalBoard(scenario)) {
      std::fprintf(stderr, "vaskel-host: %s:%s\n", path.c_str(), line.c_str());
    }
  }
  std::unique_ptr<vaskel::sim::SimulatedBoardView> board;
  if (simulated) board = std::make_unique<vaskel::sim::SimulatedBoardView>();
  std::printf("scenario %s against %s (%s time)\n", path.c_str(),
              simulated ? "the simulated board" : device, simulated ? "virtual" : "real");
  options.title =
      "vaskel-host run " + path + " against " +
      (simulated ? "the simulated board (virtual time)" : std::string(device) + " (real time)");
  vaskel::sim::ScenarioRunner runner(scenario, options, board.get());
  vaskel::sim::RunReport report;
  if (!runner.Run(&report, &error)) {
    std::fprintf(stderr, "vaskel-host: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s", vaskel::sim::FormatReport(report).c_str());
  if (!options.csv_path.empty()) std::printf("trace written to %s\n", options.csv_path.c_str());
  if (!options.svg_path.empty()) std::printf("picture written to %s\n", options.svg_path.c_str());
  if (report.have_figures && report.figures.replies_processed == 0) {
    std::fprintf(stderr,
                 "vaskel-host: no board ever connected: the plug-in got no status reply%s\n",
                 simulated ? "" : " (is vaskel-board listening there?)");
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string plugin = vaskel::sim::DefaultPluginPath(argv[0], VASKEL_DEFAULT_PLUGIN);
  const std::string command = argc >= 2 ? argv[1] : "";
  if (command == "chaos") return vaskel::chaos::ChaosMain(argc - 1, argv + 1);
  if (WantsHelp(argc, argv, 1)) return Usage();
  if (command == "run") return RunScenario(argc, argv, plugin);
  std::string profile = vaskel::sim::DefaultProfilePath();
  int update_ms = 50;
  int duration_ms = 1000;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool takes_value =
        arg == "--plugin" || arg == "--profile" || arg == "--update-ms" || arg == "--duration-ms";
    if (!takes_value) return Usage("unknown argument '" + arg + "'");
    if (i + 1 >= argc) return Usage(arg + " needs a value");
    const char* value = argv[++i];
    if (arg == "--plugin") {
      plugin = value;
    } else if (arg == "--profile") {
      profile = value;
    } else if (arg == "--update-ms") {
      if (!ParseMs(value, &update_ms) || update_ms == 0) {
        return Usage("--update-ms '" + std::string(value) +
                     "' is not a whole number of ms above 0");
      }
    } else if (!ParseMs(value, &duration_ms)) {
      return Usage("--duration-ms '" + std::string(value) + "' is not a whole number of ms");
    }
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
