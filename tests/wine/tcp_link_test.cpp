// The library streams a host trajectory to the board emulator over the TCP emulator link
// (VASKEL_DEVICE=tcp:127.0.0.1:PORT), with its link worker threads running for real; StopPlug
// ends them before the unload.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "board_process.h"
#include "file_text.h"
#include "harness.h"
#include "host/host_layout.h"
#include "sim/plugin_loader.h"
#include "sim/substitute_host.h"
#include "wine_support.h"

namespace {

using namespace vaskel;
using wine_tests::RunUntil;

const std::string kConnected = "vaskel device is connnected to your computer!";
constexpr int kSegments = 300;
constexpr int kStepsPerSegment = 10;

// The variable is read when the library makes its platform, that is at its first call.
class DeviceVariable {
 public:
  explicit DeviceVariable(const std::string& value) { _putenv(("VASKEL_DEVICE=" + value).c_str()); }
  ~DeviceVariable() { _putenv("VASKEL_DEVICE="); }
};

class LogVariable {
 public:
  explicit LogVariable(const std::string& path) { _putenv(("VASKEL_LOG=" + path).c_str()); }
  ~LogVariable() { _putenv("VASKEL_LOG="); }
};

WINE_TEST(StreamsATrajectoryToTheBoardEmulatorOverTcpThenStopsItsThreads) {
  wine_tests::BoardProcess board;
  std::string error;
  if (!board.Start(wine_tests::BesideThisProgram("vaskel-board.exe"), &error)) {
    std::printf("  %s\n", error.c_str());
    REQUIRE(false);
  }
  DeviceVariable device("tcp:127.0.0.1:" + std::to_string(board.port()));
  const std::string log_path = wine_tests::ScratchDir() + "tcp-link.log";
  DeleteFileA(log_path.c_str());
  LogVariable log(log_path);
  wine_tests::MessagePump pump;
  pump.PumpFor(50);
  const size_t threads_before = wine_tests::CountProcessThreads();

  sim::LoadedPlugin library;
  REQUIRE(library.Load(wine_tests::PluginPath(), &error));
  {
    sim::SubstituteHost host(library.api());
    host.Start(wine_tests::ScratchDir() + "tcp-profile.xml");
    const HostBlocks& blocks = host.blocks();
    blocks.engine.Set(engine::kAxisEnabled[0], true);
    CHECK(RunUntil(host, pump, 10000, [&] { return host.StatusText() == kConnected; }));
    CHECK(wine_tests::CountProcessThreads() > threads_before);  // the link's workers

    const double counts[6] = {kStepsPerSegment, 0, 0, 0, 0, 0};
    for (int i = 0; i < kSegments; ++i) REQUIRE(host.PushSegment(counts));
    // 300 is not a multiple of seven: the planner's end of program lets the last few go.
    blocks.planner.Set(planner::kFlushPartial, true);
    const int32_t target = kSegments * kStepsPerSegment;
    CHECK(RunUntil(host, pump, 15000, [&] {
      return host.QueuedSegments() == 0 && blocks.engine.Get(engine::kAxisPosition[0]) == target;
    }));
    CHECK_EQ(host.QueuedSegments(), 0);
    CHECK_EQ(blocks.engine.Get(engine::kAxisPosition[0]), target);
    CHECK_EQ(blocks.engine.Get(engine::kAxisPosition[1]), 0);
    CHECK_EQ(host.StatusText(), kConnected);

    // StopPlug returns only once the workers have ended and the board is closed.
    host.Stop();
    CHECK_EQ(wine_tests::CountProcessThreads(), threads_before);
    CHECK_EQ(pump.PumpFor(200), 0);

    // The board executed every step the host's position shows.
    std::string line;
    CHECK(board.WaitForLine("vaskel-board: client gone, counts ", 5000, &line));
    int board_counts[6] = {-1, -1, -1, -1, -1, -1};
    std::sscanf(line.c_str(), "vaskel-board: client gone, counts %d %d %d %d %d %d",
                &board_counts[0], &board_counts[1], &board_counts[2], &board_counts[3],
                &board_counts[4], &board_counts[5]);
    CHECK_EQ(board_counts[0], target);
    CHECK_EQ(board_counts[1], 0);
  }
  library.Unload();
  CHECK_EQ(pump.PumpFor(200), 0);
  CHECK(wine_tests::CountProcessThreads() <= threads_before);

  // VASKEL_LOG: StopPlug left a stats line and the flight recorder's dump, motion included.
  std::string text;
  CHECK(wine_tests::ReadTextFile(log_path, &text));
  CHECK(text.find("vaskel: board from the emulator at 127.0.0.1:") == 0);
  CHECK(text.find("\nstats ") != std::string::npos);
  CHECK(text.find("\nflight recorder at ") != std::string::npos);
  CHECK(text.find(" ms, StopPlug: ") != std::string::npos);
  CHECK(text.find(" out 17 MotionSegments steps 10,0,0,0,0,0 ") != std::string::npos);
  CHECK(text.find(" in  18 StatusRequest seq ") != std::string::npos);
}

}  // namespace
