// vaskel-host: the substitute host as a program. Loads the built plug-in, runs it through the
// host's calling order with Update every few milliseconds, and reports what it showed.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "sim/plugin_loader.h"
#include "sim/substitute_host.h"

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: vaskel-host [--plugin PATH] [--profile FILE] [--update-ms N] "
               "[--duration-ms N]\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string plugin = vaskel::sim::DefaultPluginPath(argv[0], VASKEL_DEFAULT_PLUGIN);
  std::string profile = "vaskel-profile.xml";
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
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    host.Stop();
    std::printf("status line at stop: \"%s\"\n", host.StatusText().c_str());
  }
  library.Unload();
  return 0;
}
