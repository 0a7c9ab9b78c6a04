// The library's own Windows HID path (SetupDi/HidD discovery, overlapped reads and writes)
// against a board the system sees as a USB device: under Wine in the guest of
// scripts/usb-vm-test.sh --wine, where vaskel-board --usbip --attach has plugged one in and
// VASKEL_WINE_USB_BOARD is set. Elsewhere there is no board to find and the test says so.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "harness.h"
#include "host/host_layout.h"
#include "sim/plugin_loader.h"
#include "sim/substitute_host.h"
#include "wine_support.h"

namespace {

using namespace vaskel;
using wine_tests::RunUntil;

const std::string kConnected = "vaskel device is connnected to your computer!";
constexpr int kSegments = 70;
constexpr int kStepsPerSegment = 3;

WINE_TEST(FindsTheUsbBoardThroughSetupDiAndStreamsToIt) {
  if (!std::getenv("VASKEL_WINE_USB_BOARD")) {
    std::printf("  no USB board attached here (scripts/usb-vm-test.sh --wine attaches one)\n");
    return;
  }
  _putenv("VASKEL_DEVICE=");  // the system's HID bus
  wine_tests::MessagePump pump;
  const size_t threads_before = wine_tests::CountProcessThreads();
  std::string error;
  sim::LoadedPlugin library;
  REQUIRE(library.Load(wine_tests::PluginPath(), &error));
  {
    sim::SubstituteHost host(library.api());
    host.Start(wine_tests::ScratchDir() + "usb-profile.xml");
    const HostBlocks& blocks = host.blocks();
    blocks.engine.Set(engine::kAxisEnabled[0], true);
    const uint32_t start = GetTickCount();
    REQUIRE(RunUntil(host, pump, 60000, [&] { return host.StatusText() == kConnected; }));
    std::printf("  connected after %lu ms\n", static_cast<unsigned long>(GetTickCount() - start));

    const double counts[6] = {kStepsPerSegment, 0, 0, 0, 0, 0};
    for (int i = 0; i < kSegments; ++i) REQUIRE(host.PushSegment(counts));
    blocks.planner.Set(planner::kFlushPartial, true);
    const int32_t target = kSegments * kStepsPerSegment;
    CHECK(RunUntil(host, pump, 30000, [&] {
      return host.QueuedSegments() == 0 && blocks.engine.Get(engine::kAxisPosition[0]) == target;
    }));
    CHECK_EQ(blocks.engine.Get(engine::kAxisPosition[0]), target);
    CHECK_EQ(host.StatusText(), kConnected);
    const uint32_t stop = GetTickCount();
    host.Stop();
    std::printf("  StopPlug returned in %lu ms\n",
                static_cast<unsigned long>(GetTickCount() - stop));
    CHECK_EQ(wine_tests::CountProcessThreads(), threads_before);
  }
  library.Unload();
}

}  // namespace
