#include "usb_link_bench.h"

#include <windows.h>

#include <cstdio>

#include "guest_boards.h"
#include "host/host_layout.h"
#include "usb_host.h"

namespace wine_tests {
namespace {

using namespace vaskel;

constexpr int kSegments = 3000;       // nine seconds of the board's motion
constexpr uint32_t kSettleMs = 1000;  // the board's queue fills first
constexpr uint32_t kWindowMs = 4000;  // the measured stretch
constexpr uint32_t kStopLimitMs = 5000;

// Wine's performance counter reads the system's raw monotonic clock, as the board program's
// times do.
uint64_t NowMs() {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<uint64_t>(now.QuadPart / (frequency.QuadPart / 1000));
}

// The board's time of its last "stop motion" line after the first `skip`; 0 when none yet.
uint64_t StopArrival(const GuestBoards& boards, int skip) {
  int seen = 0;
  for (const std::string& line : boards.Lines(0)) {
    unsigned long long at = 0;
    if (std::sscanf(line.c_str(), "stop motion at %llu ms", &at) == 1 && ++seen > skip) return at;
  }
  return 0;
}

}  // namespace

int RunUsbLinkBench() {
  if (!GuestBoards::Available()) {
    std::printf("bench: no USB board here (scripts/usb-vm-test.sh plugs one in)\n");
    return 1;
  }
  GuestBoards boards;
  if (!boards.Add(kBoard)) return 1;
  int status = 1;
  {
    UsbHost usb;
    if (usb.loaded() && usb.RunUntilStatus(kConnected)) {
      for (int i = 0; i < kSegments; ++i) {
        const double counts[6] = {1, -1, 0, 0, 0, 0};
        if (!usb.host().PushSegment(counts)) break;
      }
      usb.Run(kSettleMs);
      uint64_t out0 = 0, in0 = 0, at0 = 0, out1 = 0, in1 = 0, at1 = 0;
      const bool first = boards.Packets(&out0, &in0, &at0);
      usb.Run(kWindowMs);
      if (first && boards.Packets(&out1, &in1, &at1) && at1 > at0) {
        const double seconds = static_cast<double>(at1 - at0) / 1000.0;
        std::printf(
            "bench: windows HID under Wine: %.0f output reports/s, %.0f input reports/s "
            "while streaming\n",
            static_cast<double>(out1 - out0) / seconds, static_cast<double>(in1 - in0) / seconds);
      }
      const int stops_before = boards.CountLines(0, "stop motion at ");
      const uint64_t estop = NowMs();
      usb.host().blocks().engine.Set(engine::kEStopActive, true);
      std::printf("bench: E-stop at %llu ms\n", static_cast<unsigned long long>(estop));
      std::fflush(stdout);
      uint64_t arrived = 0;
      usb.RunUntil(kStopLimitMs, [&] {
        arrived = StopArrival(boards, stops_before);
        return arrived != 0;
      });
      if (arrived != 0) {
        std::printf("bench: windows HID under Wine: E-stop to StopMotion at the board %lld ms\n",
                    static_cast<long long>(arrived) - static_cast<long long>(estop));
        status = 0;
      } else {
        std::printf("bench: windows HID under Wine: no StopMotion within %u ms of the E-stop\n",
                    kStopLimitMs);
      }
    }
  }
  std::vector<BoardTotals> totals;
  boards.StopAll(&totals);
  return status;
}

}  // namespace wine_tests
