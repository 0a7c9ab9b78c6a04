// The whole host lifecycle against the loaded library, with ticks delivered by real window
// timers through this thread's message queue, then StopPlug and the unload.
#include <windows.h>

#include <string>

#include "harness.h"
#include "host/host_layout.h"
#include "host/host_string.h"
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

    // The first tick arms the timer; until it comes, every Update starts one more timer, so
    // on a loaded machine the count below would depend on how late it came.
    host.Update();
    for (int waited = 0; pump.PumpFor(10) == 0 && waited < 2000; waited += 10) {
    }
    // About 2 s of Update every 50 ms: the 20 ms tick comes from the queue throughout, once
    // per period of the time that really passed (a loaded machine stretches the loop).
    const uint32_t start = GetTickCount();
    const int running = RunWithUpdates(host, pump, 2000);
    const uint32_t elapsed = GetTickCount() - start;
    CHECK(running >= 60);
    CHECK(running <= static_cast<int>(elapsed / 20) + 10);

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

// The host unloads the library within a second of an Update without calling StopPlug: the
// library's teardown kills its live tick timers through a table that is still there, and no
// tick reaches the freed code.
WINE_TEST(UnloadWithoutStopPlugRightAfterAnUpdate) {
  wine_tests::MessagePump pump;
  sim::LoadedPlugin library;
  std::string error;
  REQUIRE(library.Load(wine_tests::PluginPath(), &error));
  sim::HostMemory memory;
  const sim::PluginApi& api = library.api();
  memory.blocks().planner.Set(planner::kStatusText, host_string::SharedEmpty());
  api.SetProName(host_string::Make(wine_tests::ScratchDir() + "profile.xml"));
  api.InitControl(memory.engine(), memory.setup(), memory.planner(), memory.window());
  api.PostInitControl();
  for (int i = 0; i < 6; ++i) {
    api.Update();
    pump.PumpFor(kUpdateEveryMs);
  }
  api.Update();
  library.Unload();
  CHECK_EQ(pump.PumpFor(200), 0);
  host_string::Release(memory.blocks().planner.Get(planner::kStatusText));
}

// A host that ends its process while the board link's threads and the tick are live, without
// StopPlug: the process ends with its own exit code, neither hanging in the library's teardown
// nor crashing in it.
WINE_TEST(ProcessExitWithoutStopPlugEndsCleanly) {
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string command = std::string("\"") + self + "\" --plugin \"" + wine_tests::PluginPath() +
                        "\" " + wine_tests::kExitWithoutStopPlugFlag;
  SetEnvironmentVariableA("VASKEL_DEVICE", "sim");  // the child's board: a live link
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION child{};
  const BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                      nullptr, &startup, &child);
  SetEnvironmentVariableA("VASKEL_DEVICE", nullptr);
  REQUIRE(started);
  const DWORD waited = WaitForSingleObject(child.hProcess, 30000);
  CHECK_EQ(waited, static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD code = 0;
  GetExitCodeProcess(child.hProcess, &code);
  CHECK_EQ(code, static_cast<DWORD>(wine_tests::kExitWithoutStopPlugCode));
  if (waited != WAIT_OBJECT_0) TerminateProcess(child.hProcess, 1);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
}

}  // namespace

namespace wine_tests {

void ExitWithoutStopPlug() {
  MessagePump pump;
  sim::LoadedPlugin library;
  std::string error;
  if (!library.Load(PluginPath(), &error)) ExitProcess(1);
  sim::HostMemory memory;
  const sim::PluginApi& api = library.api();
  memory.blocks().planner.Set(planner::kStatusText, host_string::SharedEmpty());
  api.SetProName(host_string::Make(ScratchDir() + "exit-profile.xml"));
  api.InitControl(memory.engine(), memory.setup(), memory.planner(), memory.window());
  api.PostInitControl();
  for (int i = 0; i < 10; ++i) {
    api.Update();
    pump.PumpFor(kUpdateEveryMs);
  }
  // The link must be live for the exit to mean something: its threads are running.
  if (CountProcessThreads() < 3) ExitProcess(2);
  api.Update();
  ExitProcess(kExitWithoutStopPlugCode);
}

}  // namespace wine_tests
