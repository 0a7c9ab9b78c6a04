#include "sim/board/sim_hid_bus.h"

#include <gtest/gtest.h>

#include <thread>

#include "board_reports.h"

namespace vaskel::sim {
namespace {

using testing::GetLe;
using testing::Report;
using testing::StatusRequestReport;

class SimBusTest : public ::testing::Test {
 protected:
  std::unique_ptr<HidPort> OpenBoard() { return bus_.Open(SimHidBus::kBoardPath); }
  static int ReplySequence(HidPort& port) {
    Report r{};
    if (port.Read(r.data(), 0) != static_cast<int>(kReportSize)) return -1;
    return static_cast<int>(GetLe(&r[1], 2));
  }

  FakeClock clock_;
  BoardSimulator board_{clock_};
  SimHidBus bus_{board_};
};

TEST_F(SimBusTest, EnumeratesExtrasAroundTheBoardInOrder) {
  const std::string dup = bus_.AddInterface(0x1234, 1, 1, SimHidBus::Place::BeforeBoard);
  bus_.AddInterface(0x1234, 1, 1, SimHidBus::Place::BeforeBoard);
  bus_.AddInterface(0x8888, 0x0006, 0x0101, SimHidBus::Place::AfterBoard, false);
  const auto list = bus_.Enumerate();
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].path, dup);
  EXPECT_EQ(list[1].vendor, list[0].vendor);
  EXPECT_NE(list[1].path, list[0].path);
  EXPECT_EQ(list[2].path, SimHidBus::kBoardPath);
  EXPECT_EQ(list[2].vendor, 0x8888);
  EXPECT_EQ(list[2].product, 0x0006);
  EXPECT_EQ(list[2].release, 0x0100);
  EXPECT_EQ(list[3].release, 0x0101);
  EXPECT_EQ(bus_.enumerate_count(), 1);

  board_.Unplug();
  EXPECT_EQ(bus_.Enumerate().size(), 3u);
  EXPECT_EQ(OpenBoard(), nullptr);
}

TEST_F(SimBusTest, ExtraInterfacesOpenSilentlyOrNotAtAll) {
  const std::string silent = bus_.AddInterface(1, 2, 3, SimHidBus::Place::BeforeBoard);
  const std::string closed = bus_.AddInterface(1, 2, 4, SimHidBus::Place::BeforeBoard, false);
  EXPECT_EQ(bus_.Open(closed), nullptr);
  EXPECT_EQ(bus_.Open("sim:nowhere"), nullptr);
  auto port = bus_.Open(silent);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(port->StartWrite(StatusRequestReport(1).data()), hid_error::kNone);
  Report r{};
  EXPECT_EQ(port->Read(r.data(), 0), 0);
  port->Close();
  EXPECT_EQ(port->Read(r.data(), 0), -1);
  EXPECT_EQ(bus_.open_count(closed), 1);
  EXPECT_EQ(bus_.open_count(silent), 1);
  EXPECT_EQ(bus_.open_count(SimHidBus::kBoardPath), 0);
  EXPECT_EQ(board_.Stats().packets[18], 0u);
}

TEST_F(SimBusTest, WriteThenReadTheReply) {
  auto port = OpenBoard();
  ASSERT_NE(port, nullptr);
  Report r{};
  EXPECT_EQ(port->Read(r.data(), 0), 0);  // nothing yet, and no wait
  EXPECT_EQ(port->StartWrite(StatusRequestReport(0x0102).data()), hid_error::kNone);
  EXPECT_TRUE(port->WaitWriteDone(0));
  EXPECT_EQ(ReplySequence(*port), 0x0102);
}

TEST_F(SimBusTest, CloseEndsABlockedRead) {
  auto port = OpenBoard();
  int result = 0;
  std::thread reader([&] {
    Report r{};
    result = port->Read(r.data(), -1);
  });
  port->Close();
  reader.join();
  EXPECT_EQ(result, -1);
  EXPECT_EQ(port->StartWrite(StatusRequestReport(1).data()), hid_error::kInvalidHandle);
}

TEST_F(SimBusTest, UnplugFailsWritesEndsReadsAndReplugNeedsANewOpen) {
  auto old_port = OpenBoard();
  board_.Unplug();
  Report r{};
  EXPECT_EQ(old_port->StartWrite(StatusRequestReport(1).data()), hid_error::kDeviceNotConnected);
  EXPECT_EQ(old_port->Read(r.data(), 0), -1);
  board_.Replug();
  EXPECT_EQ(old_port->StartWrite(StatusRequestReport(2).data()), hid_error::kDeviceNotConnected);
  auto port = OpenBoard();
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(port->StartWrite(StatusRequestReport(3).data()), hid_error::kNone);
  EXPECT_EQ(ReplySequence(*port), 3);
  EXPECT_EQ(old_port->Read(r.data(), 0), -1);
}

TEST_F(SimBusTest, StalledWriteCompletesOnlyWhenTheStallEnds) {
  auto port = OpenBoard();
  board_.StallWrites(true);
  EXPECT_EQ(port->StartWrite(StatusRequestReport(7).data()), hid_error::kIoPending);
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(port->WaitWriteDone(0));
  EXPECT_EQ(ReplySequence(*port), -1);
  board_.StallWrites(false);
  EXPECT_TRUE(port->WaitWriteDone(0));
  EXPECT_EQ(ReplySequence(*port), 7);  // the held report reached the board
  EXPECT_TRUE(port->WaitWriteDone(0));
}

TEST_F(SimBusTest, StalledWriteIsAbandonedByUnplugOrClose) {
  auto port = OpenBoard();
  board_.StallWrites(true);
  EXPECT_EQ(port->StartWrite(StatusRequestReport(1).data()), hid_error::kIoPending);
  board_.Unplug();
  EXPECT_TRUE(port->WaitWriteDone(0));

  board_.Replug();
  auto second = OpenBoard();
  EXPECT_EQ(second->StartWrite(StatusRequestReport(2).data()), hid_error::kIoPending);
  second->Close();
  EXPECT_TRUE(second->WaitWriteDone(0));
  board_.StallWrites(false);
  EXPECT_EQ(board_.Stats().packets[18], 0u);
}

TEST_F(SimBusTest, RefusedWriteReturnsItsCode) {
  auto port = OpenBoard();
  board_.RefuseWrites(hid_error::kGenFailure, 1);
  EXPECT_EQ(port->StartWrite(StatusRequestReport(1).data()), hid_error::kGenFailure);
  EXPECT_EQ(port->StartWrite(StatusRequestReport(2).data()), hid_error::kNone);
  EXPECT_EQ(ReplySequence(*port), 2);
}

TEST(StandaloneSimBus, OffersOneWorkingBoard) {
  FakeClock clock;
  auto bus = MakeStandaloneSimBus(clock);
  const auto list = bus->Enumerate();
  ASSERT_EQ(list.size(), 1u);
  auto port = bus->Open(list[0].path);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(port->StartWrite(StatusRequestReport(9).data()), hid_error::kNone);
  Report r{};
  ASSERT_EQ(port->Read(r.data(), 0), static_cast<int>(kReportSize));
  EXPECT_EQ(GetLe(&r[1], 2), 9u);
}

}  // namespace
}  // namespace vaskel::sim
