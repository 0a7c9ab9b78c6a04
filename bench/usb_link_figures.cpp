// vaskel-usb-bench: the link's figures on the Linux HID path (hidapi over hidraw) against a
// board the kernel sees as a USB device: reports per second while streaming, and the time from
// an E-stop to the StopMotion report at the board. Run as root in the guest of
// scripts/usb-vm-test.sh; prints the figures, tests nothing.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "device/opcodes.h"
#include "host/host_layout.h"
#include "sim/plugin_loader.h"
#include "sim/substitute_host.h"
#include "usb/virtual_usb_board.h"

namespace {

using namespace vaskel;
using SteadyTime = std::chrono::steady_clock;

constexpr const char* kConnected = "vaskel device is connnected to your computer!";
constexpr int kSegments = 3000;  // nine seconds of the board's motion
constexpr int kSettleMs = 1000;  // the board's queue fills first
constexpr int kWindowMs = 4000;  // the measured stretch

double MsSince(SteadyTime::time_point start) {
  return std::chrono::duration<double, std::milli>(SteadyTime::now() - start).count();
}

uint64_t PacketsTaken(const sim::BoardStats& stats) {
  uint64_t n = 0;
  for (uint64_t by_opcode : stats.packets) n += by_opcode;
  return n;
}

}  // namespace

int main() {
  unsetenv("VASKEL_DEVICE");  // the platform's own USB HID bus
  testing::VirtualUsbBoard board;
  std::string error;
  if (!board.Attach(&error) || !testing::WaitForHidrawCount(1, 15000)) {
    std::fprintf(stderr, "vaskel-usb-bench: no board: %s\n", error.c_str());
    return 1;
  }
  sim::LoadedPlugin library;
  if (!library.Load(VASKEL_PLUGIN_PATH, &error)) {
    std::fprintf(stderr, "vaskel-usb-bench: %s\n", error.c_str());
    return 1;
  }
  int status = 1;
  {
    sim::SubstituteHost host(library.api());
    host.Start("/tmp/vaskel-usb-bench-profile.xml");
    host.blocks().engine.Set(engine::kAxisEnabled[0], true);
    host.blocks().engine.Set(engine::kAxisEnabled[1], true);
    // The host's loop on real time: Update every 50 ms, timers pumped every millisecond.
    auto next_update = SteadyTime::now();
    auto run_until = [&](int max_ms, auto done) {
      const auto start = SteadyTime::now();
      while (!done()) {
        if (MsSince(start) >= max_ms) return false;
        if (SteadyTime::now() >= next_update) {
          host.Update();
          next_update += std::chrono::milliseconds(50);
        }
        host.PumpTimers();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      return true;
    };
    if (run_until(15000, [&] { return host.StatusText() == kConnected; })) {
      for (int i = 0; i < kSegments; ++i) {
        const double counts[6] = {1, -1, 0, 0, 0, 0};
        if (!host.PushSegment(counts)) break;
      }
      run_until(kSettleMs, [] { return false; });
      const sim::BoardStats before = board.board().Stats();
      const auto window = SteadyTime::now();
      run_until(kWindowMs, [] { return false; });
      const sim::BoardStats after = board.board().Stats();
      const double seconds = MsSince(window) / 1000.0;
      std::printf(
          "bench: linux hidraw: %.0f output reports/s, %.0f input reports/s while "
          "streaming\n",
          static_cast<double>(PacketsTaken(after) - PacketsTaken(before)) / seconds,
          static_cast<double>(after.replies_queued - before.replies_queued) / seconds);
      const uint64_t stops = after.packets[kOpStopMotion];
      const auto estop = SteadyTime::now();
      host.blocks().engine.Set(engine::kEStopActive, true);
      if (run_until(5000, [&] { return board.board().Stats().packets[kOpStopMotion] > stops; })) {
        std::printf("bench: linux hidraw: E-stop to StopMotion at the board %.0f ms\n",
                    MsSince(estop));
        status = 0;
      } else {
        std::printf("bench: linux hidraw: no StopMotion within 5000 ms of the E-stop\n");
      }
    } else {
      std::fprintf(stderr, "vaskel-usb-bench: the plug-in did not connect\n");
    }
    host.Stop();
  }
  library.Unload();
  return status;
}
