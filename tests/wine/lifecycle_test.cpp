// The whole host lifecycle against the loaded library, with ticks delivered by real window
// timers through this thread's message queue, then StopPlug and the unload.
#include <windows.h>

#include <string>

#include "harness.h"
#include "host/host_layout.h"
#include "sim/plugin_loader.h"
#include "sim/substitute_host.h"
#include "wine_support.h"

namespace {

using namespace vaskel;

constexpr uint32_t kUpdateEveryMs = 50;
constexpr uint32_t kTicksPerLapse = 52;  // the one consuming the last Update, 50, the killer

// Calls Update every 50 ms for `ms` and pumps meanwhile; returns the ticks seen.
int RunWithUpdates(sim::SubstituteHost& host, wine_tests::MessagePump& pump, uint32_t ms) {
  int ticks = 0;
  for (uint32_t t = 0; t < ms; t += kUpdateEveryMs) {
    host.Update();
    ticks += pump.PumpFor(kUpdateEveryMs);
  }
  return ticks;
}

WINE_TEST(DisplayNameIsTheLibraryBaseNameAndVersion) {
  sim::LoadedPlugin library;
  std::string error;
  REQUIRE(library.Load(wine_tests::PluginPath(), &error));
  sim::SubstituteHost host(library.api());
  CHECK_EQ(host.Start(wine_tests::ScratchDir() + "profile.xml"),
           std::string("vaskel VASKEL PlugIn Ver 2.0a"));
  host.Stop();
}

WINE_TEST(DisplayNameFollowsARenamedLibrary) {
  const std::string copy = wine_tests::ScratchDir() + "bench7.dll";
  REQUIRE(CopyFileA(wine_tests::PluginPath().c_str(), copy.c_str(), FALSE));
  {
    sim::LoadedPlugin library;
    std::string error;
    REQUIRE(library.Load(copy, &error));
    sim::SubstituteHost host(library.api());
    CHECK_EQ(host.Start(wine_tests::ScratchDir() + "profile.xml"),
             std::string("bench7 VASKEL PlugIn Ver 2.0a"));
    host.Stop();
  }
  DeleteFileA(copy.c_str());
}

WINE_TEST(MissingLibraryFailsToLoadWithAReason) {
  sim::LoadedPlugin library;
  std::string error;
  CHECK(!library.Load(wine_tests::ScratchDir() + "no-such-plugin.dll", &error));
  CHECK(!error.empty());
  CHECK(!library.loaded());
}

WINE_TEST(FullLifecycleWithWindowTimerLapseStopAndUnload) {
  wine_tests::MessagePump pump;
  pump.PumpFor(50);  // nothing of an earlier test may linger in the queue
  const size_t threads_before = wine_tests::CountProcessThreads();

  sim::LoadedPlugin library;
  std::string error;
  REQUIRE(library.Load(wine_tests::PluginPath(), &error));
  {
    sim::SubstituteHost host(library.api());
    CHECK_EQ(host.Start(wine_tests::ScratchDir() + "profile.xml"),
             std::string("vaskel VASKEL PlugIn Ver 2.0a"));
    const HostBlocks& blocks = host.blocks();
    CHECK_EQ(blocks.planner.Get(planner::kSegmentPeriod), 0.003);
    CHECK_EQ(blocks.planner.Get(planner::kTrajectoryChunk), 256);
    CHECK_EQ(blocks.planner.Get(planner::kPostInitFlag), int16_t{1});
    CHECK_EQ(blocks.planner.Get(planner::kMotorStepRate[6]), 400000.0);

    // No Update yet: no timer.
    CHECK_EQ(pump.PumpFor(100), 0);

    // About 2 s of Update every 50 ms: the 20 ms tick comes from the queue throughout.
    const int running = RunWithUpdates(host, pump, 2000);
    CHECK(running >= 60);
    CHECK(running <= 110);

    // The host calls Update one last time: the tick lapses about a second later, by itself.
    host.Update();
    const uint32_t last_update = GetTickCount();
    const UINT_PTR timer = pump.last_timer_id();
    const int lapse = pump.PumpUntilQuiet(500, 6000);
    CHECK_EQ(lapse, static_cast<int>(kTicksPerLapse));
    CHECK_EQ(pump.last_timer_id(), timer);
    const uint32_t lapse_ms = pump.last_tick_ms() - last_update;
    CHECK(lapse_ms >= 900);
    CHECK(lapse_ms <= 4000);
    CHECK_EQ(pump.PumpFor(200), 0);

    // The next Update starts a new timer; StopPlug ends it at once, and later calls do not
    // start it again.
    const int resumed = RunWithUpdates(host, pump, 300);
    CHECK(resumed >= 5);
    host.Stop();
    CHECK_EQ(pump.PumpFor(200), 0);
    library.api().Update();
    library.api().Config();
    CHECK_EQ(pump.PumpFor(200), 0);
  }
  library.Unload();

  // Nothing of the library runs after the unload: no tick reaches freed code, no thread of it
  // is left.
  CHECK_EQ(pump.PumpFor(200), 0);
  CHECK(wine_tests::CountProcessThreads() <= threads_before);
}

WINE_TEST(NullHostBlocksDoNotCrashTheLibrary) {
  sim::LoadedPlugin library;
  std::string error;
  REQUIRE(library.Load(wine_tests::PluginPath(), &error));
  const sim::PluginApi& api = library.api();
  CHECK_EQ(api.InitControl(nullptr, nullptr, nullptr, nullptr), 1);
  api.PostInitControl();
  api.Update();
  api.Notify(-1);
  api.Notify(3);
  api.Notify(11);
  api.DoDwell(0.5);
  api.Purge(1);
  api.Reset();
  wine_tests::MessagePump pump;
  CHECK(pump.PumpFor(100) >= 1);
  api.StopPlug();
  CHECK_EQ(pump.PumpFor(100), 0);
}

}  // namespace
