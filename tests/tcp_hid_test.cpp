#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "board_reports.h"
#include "platform/tcp_hid.h"
#include "sim/board/board_simulator.h"
#include "sim/tcp_board_server.h"

namespace vaskel::sim {
namespace {

using testing::GetLe;
using testing::MotionReport;
using testing::Report;
using testing::StatusRequestReport;

constexpr int kReplyWaitMs = 5000;  // generous bound; a healthy loopback answers at once

// One emulator on an ephemeral loopback port, stepped by its own thread.
class Emulator {
 public:
  explicit Emulator(HidDeviceInfo identity = {kBoardVendor, kBoardProduct, kBoardRelease, {}})
      : server_(board_, identity) {
    std::string error;
    listening_ = server_.Listen("127.0.0.1", 0, &error);
    port_ = server_.port();
    thread_ = std::thread([this] {
      while (!stop_.load()) server_.Step(5);
    });
  }
  ~Emulator() {
    stop_.store(true);
    thread_.join();
  }
  bool listening() const { return listening_; }
  TcpEndpoint endpoint() const { return {"127.0.0.1", port_}; }
  BoardSimulator& board() { return board_; }

 private:
  FakeClock clock_;
  BoardSimulator board_{clock_};
  TcpBoardServer server_;
  bool listening_ = false;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A loopback port with nobody listening.
uint16_t ClosedPort() {
  FakeClock clock;
  BoardSimulator board(clock);
  TcpBoardServer server(board);
  std::string error;
  EXPECT_TRUE(server.Listen("127.0.0.1", 0, &error)) << error;
  return server.port();
}

// Discovery passes, as the host's Updates run them, until `n` interfaces are listed (bounded).
std::vector<HidDeviceInfo> EnumerateUntil(HidBus& bus, size_t n) {
  std::vector<HidDeviceInfo> list;
  for (int pass = 0; pass < 2000 && list.size() < n; ++pass) list = bus.Enumerate();
  return list;
}

int ReadSequence(HidPort& port) {
  Report r{};
  const int n = port.Read(r.data(), kReplyWaitMs);
  return n == static_cast<int>(kReportSize) ? static_cast<int>(GetLe(&r[1], 2)) : -100 + n;
}

TEST(TcpEmulator, DiscoverySkipsRefusedEndpointsAndReportsIdentity) {
  Emulator board;
  Emulator other({0x8888, 0x0007, 0x0101, {}});
  ASSERT_TRUE(board.listening() && other.listening());
  const TcpEndpoint refused{"127.0.0.1", ClosedPort()};
  auto bus = MakeTcpHidBus({refused, board.endpoint(), other.endpoint()});
  const auto list = EnumerateUntil(*bus, 2);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].path, board.endpoint().Path());
  EXPECT_EQ(list[0].vendor, 0x8888);
  EXPECT_EQ(list[0].product, 0x0006);
  EXPECT_EQ(list[0].release, 0x0100);
  EXPECT_EQ(list[1].product, 0x0007);
  EXPECT_EQ(list[1].release, 0x0101);
  EXPECT_EQ(bus->Open(refused.Path()), nullptr);
}

TEST(TcpEmulator, ReportsRoundTrip) {
  Emulator emulator;
  ASSERT_TRUE(emulator.listening());
  auto bus = MakeTcpHidBus({emulator.endpoint()});
  ASSERT_EQ(EnumerateUntil(*bus, 1).size(), 1u);
  auto port = bus->Open(emulator.endpoint().Path());
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(port->StartWrite(MotionReport({}).data()), hid_error::kNone);
  for (uint16_t seq : {0x1234, 0x0001, 0x3fff}) {
    EXPECT_EQ(port->StartWrite(StatusRequestReport(seq, 0x10, 25).data()), hid_error::kNone);
    EXPECT_TRUE(port->WaitWriteDone(kReplyWaitMs));
    EXPECT_EQ(ReadSequence(*port), seq);
  }
  EXPECT_EQ(emulator.board().Fill(), 7u);
  EXPECT_EQ(emulator.board().LastStatusRequest()->spindle, 25);
  Report r{};
  EXPECT_EQ(port->Read(r.data(), 0), 0);
}

TEST(TcpEmulator, OpenWithoutEnumerateConnectsAnew) {
  Emulator emulator;
  auto bus = MakeTcpHidBus({emulator.endpoint()});
  auto port = bus->Open(emulator.endpoint().Path());
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(port->StartWrite(StatusRequestReport(5).data()), hid_error::kNone);
  EXPECT_EQ(ReadSequence(*port), 5);
  EXPECT_EQ(bus->Open("tcp:elsewhere:1"), nullptr);
}

TEST(TcpEmulator, UnplugEndsTheConnectionAndANewClientWorksAfterReplug) {
  Emulator emulator;
  auto bus = MakeTcpHidBus({emulator.endpoint()});
  ASSERT_EQ(EnumerateUntil(*bus, 1).size(), 1u);
  auto port = bus->Open(emulator.endpoint().Path());
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(port->StartWrite(StatusRequestReport(1).data()), hid_error::kNone);
  EXPECT_EQ(ReadSequence(*port), 1);

  emulator.board().Unplug();
  Report r{};
  EXPECT_EQ(port->Read(r.data(), kReplyWaitMs), -1);
  EXPECT_EQ(port->StartWrite(StatusRequestReport(2).data()), hid_error::kDeviceNotConnected);
  EXPECT_TRUE(bus->Enumerate().empty());  // turned away while unplugged

  emulator.board().Replug();
  ASSERT_EQ(EnumerateUntil(*bus, 1).size(), 1u);
  auto again = bus->Open(emulator.endpoint().Path());
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->StartWrite(StatusRequestReport(3).data()), hid_error::kNone);
  EXPECT_EQ(ReadSequence(*again), 3);
}

TEST(TcpEmulator, CloseEndsABlockedRead) {
  Emulator emulator;
  auto bus = MakeTcpHidBus({emulator.endpoint()});
  auto port = bus->Open(emulator.endpoint().Path());
  ASSERT_NE(port, nullptr);
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

TEST(TcpEmulator, ANewClientReplacesTheOldOne) {
  Emulator emulator;
  auto bus = MakeTcpHidBus({emulator.endpoint()});
  auto first = bus->Open(emulator.endpoint().Path());
  auto second = bus->Open(emulator.endpoint().Path());
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->StartWrite(StatusRequestReport(4).data()), hid_error::kNone);
  EXPECT_EQ(ReadSequence(*second), 4);
  Report r{};
  EXPECT_EQ(first->Read(r.data(), kReplyWaitMs), -1);
}

}  // namespace
}  // namespace vaskel::sim
