// The library's own Windows HID path (SetupDi/HidD discovery, overlapped reads and writes, the
// write-completion worker) against boards the system sees as USB devices: under Wine in the
// guest of scripts/usb-vm-test.sh, which plugs in vaskel-board --usbip boards on request
// (guest_boards.h) and sets VASKEL_WINE_USB_BOARD. Elsewhere there is no board to find and
// each case says so. The same cases as the Linux USB tests, where they apply.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "guest_boards.h"
#include "harness.h"
#include "host/host_layout.h"
#include "usb_host.h"
#include "wine_support.h"

namespace {

using namespace vaskel;

const std::string kDuplicates = "Some usb device make the usb detected program doesen't work well!";
using wine_tests::kBoard;
using wine_tests::kConnected;
using wine_tests::kMessageMs;
using wine_tests::UsbHost;

bool NoBoardHere() {
  if (wine_tests::GuestBoards::Available()) return false;
  std::printf("  no USB board here (scripts/usb-vm-test.sh plugs them in)\n");
  return true;
}

// Ends the case's boards and returns their totals (empty when they left none).
std::vector<wine_tests::BoardTotals> StopBoards(wine_tests::GuestBoards& boards) {
  std::vector<wine_tests::BoardTotals> totals;
  CHECK(boards.StopAll(&totals));
  return totals;
}

WINE_TEST(UsbTrajectoryStreamsWithTheBoardCountsEqualToTheHostPositions) {
  if (NoBoardHere()) return;
  wine_tests::GuestBoards boards;
  REQUIRE(boards.Add(kBoard));
  // Fifty motion packets: Wine's HID path on an emulated CPU carries a few reports a second.
  constexpr int kSegments = 350;
  int32_t x = 0;
  int32_t y = 0;
  const size_t threads_before = wine_tests::CountProcessThreads();
  {
    UsbHost usb;
    REQUIRE(usb.loaded());
    REQUIRE(usb.RunUntilStatus(kConnected));
    const HostBlocks& blocks = usb.host().blocks();
    for (int i = 0; i < kSegments; ++i) {
      const double counts[6] = {1, -2, 0, 0, 0, 0};
      REQUIRE(usb.host().PushSegment(counts));
    }
    blocks.planner.Set(planner::kFlushPartial, true);
    // The board takes a segment every 3 ms; its counts come back in its status replies.
    CHECK(usb.RunUntil(2 * kMessageMs, [&] {
      return usb.host().QueuedSegments() == 0 &&
             blocks.engine.Get(engine::kAxisPosition[0]) == kSegments;
    }));
    usb.Run(500);
    x = blocks.engine.Get(engine::kAxisPosition[0]);
    y = blocks.engine.Get(engine::kAxisPosition[1]);
    CHECK_EQ(x, kSegments);
    CHECK_EQ(y, -2 * kSegments);
    CHECK_EQ(usb.host().StatusText(), kConnected);
  }
  CHECK_EQ(wine_tests::CountProcessThreads(), threads_before);
  const auto totals = StopBoards(boards);
  REQUIRE(totals.size() == 1u);
  CHECK_EQ(totals[0].counts[0], x);
  CHECK_EQ(totals[0].counts[1], y);
  CHECK(totals[0].packets >= kSegments / 7u);
}

// Windows fails an unplugged board's write with ERROR_DEVICE_NOT_CONNECTED and the link
// closes at once with message 3. Wine fails it with ERROR_GEN_FAILURE, then
// ERROR_ACCESS_DENIED: the link closes by its rule for repeated failed writes, with message 3
// at once followed by the last failure's system text.
WINE_TEST(UsbUnplugShowsPulledOutAndReplugReconnectsWithTheConfigurationAgain) {
  if (NoBoardHere()) return;
  wine_tests::GuestBoards boards;
  REQUIRE(boards.Add(kBoard));
  {
    UsbHost usb;
    REQUIRE(usb.loaded());
    REQUIRE(usb.RunUntilStatus(kConnected));
    usb.Run(300);
    REQUIRE(boards.Unplug());
    REQUIRE(usb.RunUntil(kMessageMs, [&] { return usb.LinkClosed(); }));
    usb.Run(3000);  // discovery goes on, in vain
    CHECK(usb.host().StatusText() != kConnected);
    CHECK_EQ(boards.CountLines(0, "configuration received"), 1);
    REQUIRE(boards.Replug());
    const bool reconnected = usb.RunUntilShown(kConnected);
    if (!reconnected) {
      std::printf("  the system %s the replugged board\n",
                  wine_tests::GuestBoards::Listed(kBoard) ? "lists" : "does not list");
    }
    CHECK(reconnected);
    // Reopened: the whole start-up configuration went out again.
    CHECK_EQ(boards.CountLines(0, "configuration received"), 2);
    CHECK_EQ(boards.CountLines(0, "imported"), 2);
  }
  StopBoards(boards);
}

WINE_TEST(UsbStopPlugWhileUnpluggedReturnsPromptly) {
  if (NoBoardHere()) return;
  wine_tests::GuestBoards boards;
  REQUIRE(boards.Add(kBoard));
  {
    UsbHost usb;
    REQUIRE(usb.loaded());
    REQUIRE(usb.RunUntilStatus(kConnected));
    REQUIRE(boards.Unplug());
    CHECK(usb.RunUntil(2 * kMessageMs, [&] { return usb.LinkClosed(); }));
    // ~UsbHost: StopPlug within its bound.
  }
  StopBoards(boards);
}

// The system holds a write the board does not take (the kernel for 5 s). On Windows the write
// stays pending; under Wine the system's call itself is held that long, on the port's writing
// thread. Either way the link's 4-second rule on the whole-second clock closes the link first,
// and it reconnects once the board takes writes again.
WINE_TEST(UsbStalledBoardClosesTheLinkByTheStuckWriteRuleAndReconnectsOnceReleased) {
  if (NoBoardHere()) return;
  wine_tests::GuestBoards boards;
  REQUIRE(boards.Add(kBoard));
  {
    UsbHost usb;
    REQUIRE(usb.loaded());
    REQUIRE(usb.RunUntilStatus(kConnected));
    // The stuck write starts after the request and, at the latest, once the board has taken
    // it; the rule closes the link 3 to 4 s after that write started (the log's tick count).
    const DWORD requested = GetTickCount();
    REQUIRE(boards.Stall());
    const DWORD answered = GetTickCount();
    DWORD closed_at = 0;
    REQUIRE(usb.RunUntil(20000, [&] { return usb.LinkClosedAt(&closed_at); }));
    std::printf("  link closed %ld ms after the stall request, %ld ms after its answer\n",
                static_cast<long>(closed_at - requested), static_cast<long>(closed_at - answered));
    CHECK(static_cast<long>(closed_at - requested) >= 2500);
    CHECK(static_cast<long>(closed_at - answered) <= 7000);
    REQUIRE(boards.Release());
    CHECK(usb.RunUntilShown(kConnected));
    CHECK_EQ(boards.CountLines(0, "configuration received"), 2);
  }
  StopBoards(boards);
}

// Once two devices of the same vendor, product, release and serial number (none) are
// unplugged, Wine may list one of them on for long (the next case then starts in a fresh Wine).
WINE_TEST(UsbForeignDevicesAloneShowNothingTwoIdenticalShowTheDuplicatesMessage) {
  if (NoBoardHere()) return;
  wine_tests::GuestBoards boards;
  REQUIRE(boards.Add("1234:5678:0001"));
  {
    UsbHost usb;
    REQUIRE(usb.loaded());
    usb.Run(2000);  // some forty discovery passes
    CHECK_EQ(usb.host().StatusText(), std::string());
    REQUIRE(boards.Add("1234:5678:0001"));  // plugged in while the plug-in runs
    CHECK(usb.RunUntilStatus(kDuplicates));
  }
  const auto totals = StopBoards(boards);
  REQUIRE(totals.size() == 2u);
  CHECK_EQ(totals[0].packets + totals[1].packets, 0u);
}

// Last: Wine often lists one of the three boards pulled out together for long after their
// removal, and a case after it would need a Wine started afresh (minutes on an emulated CPU).
WINE_TEST(UsbOnlyTheExactVendorProductAndReleaseIsOpened) {
  if (NoBoardHere()) return;
  wine_tests::GuestBoards boards;
  REQUIRE(boards.Add("8888:0007:0100"));
  REQUIRE(boards.Add("8888:0006:0101"));
  REQUIRE(boards.Add(kBoard));
  {
    UsbHost usb;
    REQUIRE(usb.loaded());
    const DWORD start = GetTickCount();
    REQUIRE(usb.RunUntilStatus(kConnected));
    std::printf("  connected after %lu ms\n", static_cast<unsigned long>(GetTickCount() - start));
    std::fflush(stdout);
    usb.Run(1000);
    CHECK_EQ(usb.host().StatusText(), kConnected);
  }
  const auto totals = StopBoards(boards);
  REQUIRE(totals.size() == 3u);
  // The near misses were never opened, so never written to.
  CHECK_EQ(totals[0].packets, 0u);
  CHECK_EQ(totals[1].packets, 0u);
  // The board took the start-up configuration (nine reports) and status requests after it.
  CHECK(totals[2].packets >= 10u);
  CHECK_EQ(boards.CountLines(2, "configuration received"), 1);
}

}  // namespace
