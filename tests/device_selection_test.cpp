#include "platform/device_selection.h"

#include <gtest/gtest.h>

#include "platform/null_hid.h"

namespace vaskel {
namespace {

using Kind = DeviceSelection::Kind;

TEST(DeviceSelection, UnsetOrEmptyIsTheSystemBus) {
  EXPECT_EQ(ParseDeviceSelection(nullptr).kind, Kind::SystemHid);
  EXPECT_EQ(ParseDeviceSelection("").kind, Kind::SystemHid);
  EXPECT_TRUE(ParseDeviceSelection("").problem.empty());
}

TEST(DeviceSelection, SimAndTcpEndpoints) {
  EXPECT_EQ(ParseDeviceSelection("sim").kind, Kind::Simulator);
  const auto s = ParseDeviceSelection("tcp:127.0.0.1:5000,localhost:1,[::1]:65535");
  ASSERT_EQ(s.kind, Kind::Tcp) << s.problem;
  ASSERT_EQ(s.endpoints.size(), 3u);
  EXPECT_EQ(s.endpoints[0].host, "127.0.0.1");
  EXPECT_EQ(s.endpoints[0].port, 5000);
  EXPECT_EQ(s.endpoints[1].Path(), "tcp:localhost:1");
  EXPECT_EQ(s.endpoints[2].host, "::1");
  EXPECT_EQ(s.endpoints[2].port, 65535);
}

TEST(DeviceSelection, BadValuesFallBackWithAReason) {
  for (const char* bad : {"SIM", "usb", "tcp:", "tcp:host", "tcp:host:0", "tcp:host:65536",
                          "tcp::5000", "tcp:host:50x", "tcp:a:1,", "tcp:a:1,,b:2"}) {
    const auto s = ParseDeviceSelection(bad);
    EXPECT_EQ(s.kind, Kind::SystemHid) << bad;
    EXPECT_FALSE(s.problem.empty()) << bad;
  }
  EXPECT_NE(ParseDeviceSelection("tcp:host:0").problem.find("bad endpoint 'host:0'"),
            std::string::npos);
}

TEST(DeviceSelection, ListenerMayAskForAnEphemeralPort) {
  TcpEndpoint e;
  EXPECT_FALSE(ParseTcpEndpoint("127.0.0.1:0", &e));
  ASSERT_TRUE(ParseTcpEndpoint("127.0.0.1:0", &e, true));
  EXPECT_EQ(e.port, 0);
}

// Factories that say which one was asked for.
struct TaggedBus : NullHidBus {
  explicit TaggedBus(std::string t) : tag(std::move(t)) {}
  std::string tag;
};
std::unique_ptr<HidBus> System() {
  return std::make_unique<TaggedBus>("system");
}
std::unique_ptr<HidBus> Tcp(std::vector<TcpEndpoint> e) {
  return std::make_unique<TaggedBus>("tcp " + e.at(0).Path());
}
std::unique_ptr<HidBus> Simulator(Clock&) {
  return std::make_unique<TaggedBus>("sim");
}

std::string Chosen(const char* value, HidBus* lent = nullptr, std::string* notice = nullptr,
                   std::string* source = nullptr) {
  FakeClock clock;
  HidBusChoice choice = ChooseHidBus(value, lent, clock, {&System, &Tcp, &Simulator});
  if (notice) *notice = choice.notice;
  if (source) *source = choice.source;
  if (choice.bus == lent && lent) return "lent";
  return static_cast<TaggedBus*>(choice.bus)->tag;
}

TEST(DeviceSelection, ChoosesTheBus) {
  EXPECT_EQ(Chosen(nullptr), "system");
  EXPECT_EQ(Chosen("sim"), "sim");
  EXPECT_EQ(Chosen("tcp:h:7"), "tcp tcp:h:7");
  NullHidBus lent;
  EXPECT_EQ(Chosen("tcp:h:7", &lent), "lent");
  std::string notice;
  EXPECT_EQ(Chosen("bogus", nullptr, &notice), "system");
  EXPECT_NE(notice.find("VASKEL_DEVICE=\"bogus\""), std::string::npos) << notice;
  EXPECT_NE(notice.find("using the USB HID bus"), std::string::npos) << notice;
}

// The emulator switch works in the production library: the log names where the board is.
TEST(DeviceSelection, TheDiagnosticLogNamesTheEmulatorInUse) {
  std::string source;
  Chosen("tcp:127.0.0.1:5555,[::1]:6000", nullptr, nullptr, &source);
  EXPECT_EQ(source,
            "vaskel: board from the emulator at 127.0.0.1:5555, [::1]:6000 (VASKEL_DEVICE)");
  Chosen("sim", nullptr, nullptr, &source);
  EXPECT_EQ(source, "vaskel: board from the in-process simulator (VASKEL_DEVICE=sim)");
  for (const char* usb : {static_cast<const char*>(nullptr), "", "bogus"}) {
    Chosen(usb, nullptr, nullptr, &source);
    EXPECT_EQ(source, "");
  }
  NullHidBus lent;
  Chosen("tcp:h:7", &lent, nullptr, &source);
  EXPECT_EQ(source, "");
}

}  // namespace
}  // namespace vaskel
