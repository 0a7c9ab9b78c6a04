// Finding, opening and closing the board.
#include <gtest/gtest.h>

#include "device_test_support.h"

namespace vaskel::testing {
namespace {

constexpr const char* kDuplicateText =
    "Some usb device make the usb detected program doesen't work well!";
constexpr const char* kPulledOutText = "vaskel device is pulled out, check your cable!";

TEST(SeenDeviceTable, FirstMeetingStoresRepeatIsReported) {
  SeenDeviceTable seen;
  EXPECT_FALSE(seen.RecordSeenDevice(1, 2, 3));
  EXPECT_TRUE(seen.RecordSeenDevice(1, 2, 3));
  EXPECT_FALSE(seen.RecordSeenDevice(1, 2, 4));
  EXPECT_EQ(seen.used(), 2);
  seen.Clear();
  EXPECT_FALSE(seen.RecordSeenDevice(1, 2, 3));
}

TEST(SeenDeviceTable, HundredAndFirstTripleIsNeitherStoredNorReported) {
  SeenDeviceTable seen;
  for (int i = 0; i < 100; ++i) EXPECT_FALSE(seen.RecordSeenDevice(1, 2, 100 + i));
  EXPECT_FALSE(seen.RecordSeenDevice(1, 2, 999));
  EXPECT_FALSE(seen.RecordSeenDevice(1, 2, 999));
  EXPECT_EQ(seen.used(), 100);
  EXPECT_TRUE(seen.RecordSeenDevice(1, 2, 199));
}

TEST(Discovery, WrongReleaseOrProductIsNotOpened) {
  LinkHarness h(false);
  h.bus.AddInterface(0x8888, 0x0006, 0x0101, kBoardPath);
  h.bus.AddInterface(0x8888, 0x0007, 0x0100, kBoardPath);
  EXPECT_EQ(h.link().StartLink(), DeviceLink::kNoBoard);
  EXPECT_FALSE(h.link().device_connected());
  EXPECT_TRUE(h.bus.opened().empty());
  EXPECT_FALSE(h.link().workers_started());
}

TEST(Discovery, FirstMatchWinsAndLaterInterfacesAreNotExamined) {
  LinkHarness h(false);
  h.PlugBoard();
  h.bus.AddInterface(0x8888, 0x0006, 0x0100, "/dev/second");
  h.bus.AddInterface(0x1234, 0x1, 0x1, "/dev/dup");
  h.bus.AddInterface(0x1234, 0x1, 0x1, "/dev/dup");
  EXPECT_EQ(h.link().StartLink(), DeviceLink::kLinkStarted);
  EXPECT_EQ(h.bus.opened(), std::vector<std::string>{kBoardPath});
  EXPECT_EQ(h.link().seen_devices().used(), 1);
  EXPECT_EQ(h.ctx->messages().index(), 0);
}

TEST(Discovery, DuplicateWithoutBoardShowsMessageOneOnEveryLaterPass) {
  LinkHarness h(false);
  h.bus.AddInterface(0x1234, 0x1, 0x1, "/dev/a");
  h.bus.AddInterface(0x1234, 0x1, 0x1, "/dev/b");
  h.Update();
  EXPECT_EQ(h.ctx->messages().index(), kMsgDuplicateDevice);
  EXPECT_EQ(h.StatusText(), kDuplicateText);

  // A later pass without any duplicate shows it again while the number is still 1.
  h.bus.ClearInterfaces();
  h.SetStatusText("other");
  h.Update();
  EXPECT_EQ(h.StatusText(), kDuplicateText);
}

TEST(Discovery, DuplicateBeforeTheBoardShowsNothing) {
  LinkHarness h(false);
  h.bus.AddInterface(0x1234, 0x1, 0x1, "/dev/a");
  h.bus.AddInterface(0x1234, 0x1, 0x1, "/dev/b");
  h.PlugBoard();
  EXPECT_EQ(h.link().StartLink(), DeviceLink::kLinkStarted);
  EXPECT_EQ(h.ctx->messages().index(), kMsgDuplicateDevice);
  EXPECT_EQ(h.StatusText(), "");
}

TEST(Discovery, SuccessfulStartLinkResetsRingsAndCreatesWorkersOnce) {
  LinkHarness h;
  ASSERT_EQ(h.link().StartLink(), DeviceLink::kLinkStarted);
  EXPECT_EQ(h.platform.workers_.live(), 3u);
  h.link().SendCommand(1, 0);
  h.link().receive_ring().Commit();
  h.link().CloseDevice();

  // A pass that finds no board leaves the rings as they are.
  h.bus.ClearInterfaces();
  EXPECT_EQ(h.link().StartLink(), DeviceLink::kNoBoard);
  EXPECT_EQ(h.link().send_ring().count(), 1);
  EXPECT_EQ(h.link().receive_ring().count(), 1);

  h.PlugBoard();
  EXPECT_EQ(h.link().StartLink(), DeviceLink::kLinkStarted);
  EXPECT_EQ(h.link().send_ring().count(), 0);
  EXPECT_EQ(h.link().send_ring().write_index(), 0);
  EXPECT_EQ(h.link().receive_ring().count(), 0);
  EXPECT_EQ(h.platform.workers_.live(), 3u);
}

TEST(Discovery, CloseShowsMessageThreeAndASecondCloseShowsItAgain) {
  LinkHarness h;
  h.BringUp();
  ASSERT_TRUE(h.link().link_running());
  h.link().CloseDevice();
  EXPECT_FALSE(h.link().device_connected());
  EXPECT_FALSE(h.link().link_running());
  EXPECT_EQ(h.ctx->messages().index(), kMsgDevicePulledOut);
  EXPECT_EQ(h.StatusText(), kPulledOutText);

  h.SetStatusText("other");
  h.link().CloseDevice();
  EXPECT_EQ(h.StatusText(), kPulledOutText);
}

TEST(Discovery, APortThatFailsToOpenIsNoBoardFoundThisPass) {
  LinkHarness h;
  h.SetStatusText("other");
  h.bus.SetOpenFails(true);
  EXPECT_EQ(h.link().StartLink(), DeviceLink::kNoBoard);
  h.Update();
  h.Pump(4);
  // Nothing was written to burn into a resynchronisation, and nobody pulled a cable.
  EXPECT_FALSE(h.link().device_connected());
  EXPECT_FALSE(h.link().resync_pending());
  EXPECT_EQ(h.board.attempts(), 0u);
  EXPECT_EQ(h.StatusText(), "other");

  h.bus.SetOpenFails(false);
  h.board.SetAutoReply(true);
  h.UpdateAndPump();
  EXPECT_TRUE(h.link().link_running());
  const auto ops = h.board.written_opcodes();
  ASSERT_GE(ops.size(), 1u);
  EXPECT_EQ(ops[0], kOpSyncQueryA);  // a plain start-up, no resynchronisation
}

}  // namespace
}  // namespace vaskel::testing
