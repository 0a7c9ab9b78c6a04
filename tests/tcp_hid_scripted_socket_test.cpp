// The emulator link's framing and error mapping on scripted sockets: the partial sends, split
// reads and socket errors a loopback emulator never produces on cue.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <deque>
#include <memory>
#include <variant>
#include <vector>

#include "platform/tcp_hid.h"
#include "platform/tcp_socket.h"

namespace vaskel {
namespace {

using Bytes = std::vector<uint8_t>;
using Report = std::array<uint8_t, kReportSize>;

// One scripted call: how many bytes it moves (a send), what it delivers (a receive; empty is the
// end of the stream), or how it fails. An exhausted script would block.
using Step = std::variant<size_t, Bytes, SocketError>;

struct Script {
  std::deque<Step> sends;
  std::deque<Step> recvs;
  Bytes sent;
  bool hung_up = false;
  int shutdowns = 0;
  int connect_polls = 0;  // PollConnect calls that find the connect still under way
  int waited_ms = 0;      // every wait asked of the socket, in all
};

class ScriptedSocket : public TcpSocket {
 public:
  explicit ScriptedSocket(std::shared_ptr<Script> script) : script_(std::move(script)) {}

  ConnectState PollConnect() override {
    if (script_->connect_polls == 0) return ConnectState::kConnected;
    --script_->connect_polls;
    return ConnectState::kConnecting;
  }
  // Readable when the script has something to hand out.
  bool WaitReadable(int timeout_ms) override {
    script_->waited_ms += timeout_ms;
    return !script_->recvs.empty();
  }
  bool WaitWritable(int timeout_ms) override {
    script_->waited_ms += timeout_ms;
    return true;
  }

  ptrdiff_t Send(const uint8_t* data, size_t n) override {
    const Step step = Next(script_->sends);
    if (const auto* error = std::get_if<SocketError>(&step)) return Fail(*error);
    const size_t taken = std::min(n, std::get<size_t>(step));
    script_->sent.insert(script_->sent.end(), data, data + taken);
    return static_cast<ptrdiff_t>(taken);
  }

  ptrdiff_t Recv(uint8_t* data, size_t n) override {
    const Step step = Next(script_->recvs);
    if (const auto* error = std::get_if<SocketError>(&step)) return Fail(*error);
    const Bytes& bytes = std::get<Bytes>(step);
    EXPECT_LE(bytes.size(), n) << "the script hands out more than was asked for";
    std::copy(bytes.begin(), bytes.end(), data);
    return static_cast<ptrdiff_t>(bytes.size());
  }

  SocketError LastError() override { return last_error_; }
  bool PeerHungUp() override { return script_->hung_up; }
  void Shutdown() override { ++script_->shutdowns; }

 private:
  static Step Next(std::deque<Step>& steps) {
    if (steps.empty()) return SocketError::kWouldBlock;
    Step step = std::move(steps.front());
    steps.pop_front();
    return step;
  }
  ptrdiff_t Fail(SocketError error) {
    last_error_ = error;
    return -1;
  }

  const std::shared_ptr<Script> script_;
  SocketError last_error_ = SocketError::kFailed;
};

// Hands out one scripted socket per connection; none left means refused.
class ScriptedNetwork : public TcpNetwork {
 public:
  explicit ScriptedNetwork(std::deque<std::shared_ptr<Script>> scripts, int* connects)
      : scripts_(std::move(scripts)), connects_(connects) {}
  std::unique_ptr<TcpSocket> StartConnect(const TcpEndpoint&) override {
    ++*connects_;
    if (scripts_.empty()) return nullptr;
    auto socket = std::make_unique<ScriptedSocket>(scripts_.front());
    scripts_.pop_front();
    return socket;
  }

 private:
  std::deque<std::shared_ptr<Script>> scripts_;
  int* connects_;
};

const TcpEndpoint kEndpoint{"emulator", 7000};
const Bytes kHello = {0x88, 0x88, 0x06, 0x00, 0x00, 0x01};

Report Numbered() {
  Report r{};
  for (size_t i = 0; i < r.size(); ++i) r[i] = static_cast<uint8_t>(i + 1);
  return r;
}

// An emulator that accepts and says nothing, or is slow to connect, is absent, costs a pass at
// most a few milliseconds of waiting, and keeps its one connection; a board on another
// endpoint is listed by the first pass.
TEST(TcpDiscoveryOnScriptedSockets, ASilentOrSlowEndpointNeverHoldsUpAPass) {
  auto silent = std::make_shared<Script>();
  auto slow = std::make_shared<Script>();
  slow->connect_polls = 50;
  slow->recvs = {kHello};
  auto board = std::make_shared<Script>();
  board->recvs = {kHello};
  int connects = 0;
  auto bus = MakeTcpHidBus(std::make_unique<ScriptedNetwork>(
                               std::deque<std::shared_ptr<Script>>{silent, slow, board}, &connects),
                           {kEndpoint, {"emulator", 7001}, {"emulator", 7002}});
  const auto waited = [&] { return silent->waited_ms + slow->waited_ms + board->waited_ms; };
  for (int pass = 1; pass <= 10; ++pass) {
    const int before = waited();
    const auto list = bus->Enumerate();
    EXPECT_LE(waited() - before, 4) << "pass " << pass;
    ASSERT_EQ(list.size(), pass < 10 ? 1u : 2u) << "pass " << pass;
    EXPECT_EQ(list.back().path, "tcp:emulator:7002");
    if (pass == 9) slow->connect_polls = 0;
  }
  EXPECT_EQ(connects, 3);
  // The silent one's identity arrives; it is listed from then on, on the same connection.
  silent->recvs = {kHello};
  EXPECT_EQ(bus->Enumerate().size(), 3u);
  EXPECT_NE(bus->Open(kEndpoint.Path()), nullptr);
  EXPECT_EQ(connects, 3);
}

class TcpLinkOnScriptedSockets : public ::testing::Test {
 protected:
  // A bus whose one endpoint answers with `script`, hello already queued.
  std::unique_ptr<HidPort> OpenPort() {
    script_->recvs.push_front(kHello);
    bus_ = MakeTcpHidBus(
        std::make_unique<ScriptedNetwork>(std::deque<std::shared_ptr<Script>>{script_}, &connects_),
        {kEndpoint});
    return bus_->Open(kEndpoint.Path());
  }

  std::shared_ptr<Script> script_ = std::make_shared<Script>();
  int connects_ = 0;
  std::unique_ptr<HidBus> bus_;
};

TEST_F(TcpLinkOnScriptedSockets, HelloAndReportsArriveInPieces) {
  const Report report = Numbered();
  script_->recvs = {Bytes(kHello.begin(), kHello.begin() + 2),
                    SocketError::kWouldBlock,
                    SocketError::kInterrupted,
                    Bytes(kHello.begin() + 2, kHello.end()),
                    Bytes(report.begin(), report.begin() + 30),
                    SocketError::kWouldBlock,
                    Bytes(report.begin() + 30, report.end())};
  bus_ = MakeTcpHidBus(
      std::make_unique<ScriptedNetwork>(std::deque<std::shared_ptr<Script>>{script_}, &connects_),
      {kEndpoint, {"emulator", 7001}});
  const auto list = bus_->Enumerate();
  ASSERT_EQ(list.size(), 1u);  // the second endpoint refuses
  EXPECT_EQ(list[0].vendor, 0x8888);
  EXPECT_EQ(list[0].product, 0x0006);
  EXPECT_EQ(list[0].release, 0x0100);
  auto port = bus_->Open(kEndpoint.Path());
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(connects_, 2);  // Open took the connection discovery made

  Report got{};
  EXPECT_EQ(port->Read(got.data(), 0), 0);  // 30 bytes are no report yet
  EXPECT_EQ(port->Read(got.data(), 0), static_cast<int>(kReportSize));
  EXPECT_EQ(got, report);
}

TEST_F(TcpLinkOnScriptedSockets, AShortHelloIsAnAbsentInterface) {
  script_->recvs = {Bytes(kHello.begin(), kHello.begin() + 3), Bytes{}};
  bus_ = MakeTcpHidBus(
      std::make_unique<ScriptedNetwork>(std::deque<std::shared_ptr<Script>>{script_}, &connects_),
      {kEndpoint});
  EXPECT_TRUE(bus_->Enumerate().empty());
}

TEST_F(TcpLinkOnScriptedSockets, AHalfSentReportIsAWriteInFlight) {
  auto port = OpenPort();
  ASSERT_NE(port, nullptr);
  const Report report = Numbered();
  script_->sends = {size_t{20}, SocketError::kWouldBlock};
  EXPECT_EQ(port->StartWrite(report.data()), hid_error::kIoPending);
  EXPECT_EQ(script_->sent.size(), 20u);
  EXPECT_FALSE(port->WaitWriteDone(0));  // the socket still takes nothing
  script_->sends = {SocketError::kInterrupted, size_t{kReportSize}};
  EXPECT_TRUE(port->WaitWriteDone(0));
  EXPECT_EQ(script_->sent, Bytes(report.begin(), report.end()));
}

TEST_F(TcpLinkOnScriptedSockets, ALostConnectionIsAnUnpluggedBoard) {
  auto port = OpenPort();
  ASSERT_NE(port, nullptr);
  script_->sends = {SocketError::kLost};
  EXPECT_EQ(port->StartWrite(Numbered().data()), hid_error::kDeviceNotConnected);
  EXPECT_EQ(port->StartWrite(Numbered().data()), hid_error::kDeviceNotConnected);
  Report got{};
  EXPECT_EQ(port->Read(got.data(), 0), -1);
  EXPECT_TRUE(script_->sends.empty() && script_->sent.empty());
}

TEST_F(TcpLinkOnScriptedSockets, AHangUpFailsTheWriteBeforeAnyByteIsSent) {
  auto port = OpenPort();
  ASSERT_NE(port, nullptr);
  script_->hung_up = true;
  script_->sends = {size_t{kReportSize}};
  EXPECT_EQ(port->StartWrite(Numbered().data()), hid_error::kDeviceNotConnected);
  EXPECT_TRUE(script_->sent.empty());
}

TEST_F(TcpLinkOnScriptedSockets, OtherSendErrorsAreGeneralFailures) {
  auto port = OpenPort();
  ASSERT_NE(port, nullptr);
  script_->sends = {SocketError::kFailed, size_t{0}, size_t{kReportSize}};
  EXPECT_EQ(port->StartWrite(Numbered().data()), hid_error::kGenFailure);
  EXPECT_EQ(port->StartWrite(Numbered().data()), hid_error::kGenFailure);  // nothing taken
  EXPECT_EQ(port->StartWrite(Numbered().data()), hid_error::kNone);  // the board is still there
}

TEST_F(TcpLinkOnScriptedSockets, EndOfStreamAndCloseEndReads) {
  auto port = OpenPort();
  ASSERT_NE(port, nullptr);
  script_->recvs = {Bytes{}, Bytes(kReportSize)};  // nothing after the end may be read
  Report got{};
  EXPECT_EQ(port->Read(got.data(), 0), -1);
  EXPECT_EQ(port->Read(got.data(), 0), -1);  // stays ended; no further receive
  port->Close();
  port->Close();
  EXPECT_EQ(script_->shutdowns, 1);
  EXPECT_EQ(port->StartWrite(Numbered().data()), hid_error::kInvalidHandle);
  port.reset();
  EXPECT_EQ(script_->shutdowns, 1);
}

}  // namespace
}  // namespace vaskel
