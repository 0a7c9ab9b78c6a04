// The board as a USB/IP device, driven over loopback by a scripted importer standing in for
// the kernel's virtual host controller: listing and import, enumeration requests, reports
// both ways, held and unlinked URBs, a stalled board and the cable.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "board_reports.h"
#include "sim/board/board_simulator.h"
#include "sim/usbip/usb_hid_descriptors.h"
#include "sim/usbip/usbip_board_server.h"
#include "sim/usbip/usbip_wire.h"

namespace vaskel {
namespace {

using namespace sim::usbip;
using testing::GetLe;
using testing::StatusRequestReport;

struct Reply {
  uint32_t command = 0;
  uint32_t seqnum = 0;
  int32_t status = 0;
  uint32_t actual_length = 0;
  std::vector<uint8_t> data;
};

class Importer {
 public:
  explicit Importer(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    timeval limit{5, 0};  // a lost answer fails the test instead of hanging it
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  }
  ~Importer() { close(fd_); }

  bool connected() const { return connected_; }
  void Send(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // Exactly n bytes; fewer when the server closed the connection.
  std::vector<uint8_t> Receive(size_t n) {
    std::vector<uint8_t> out(n);
    size_t got = 0;
    while (got < n) {
      const ssize_t r = recv(fd_, out.data() + got, n - got, 0);
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
    out.resize(got);
    return out;
  }
  bool ClosedByServer() {
    uint8_t byte;
    return recv(fd_, &byte, 1, 0) == 0;
  }

  // Import; the reply's status, and the device record when it is 0.
  uint32_t Import(const std::string& busid, ExportedDevice* device = nullptr) {
    std::vector<uint8_t> request;
    AppendImportRequest(request, busid);
    Send(request);
    const std::vector<uint8_t> header = Receive(kOpHeaderSize);
    if (header.size() < kOpHeaderSize) return ~0u;
    const OpHeader op = DecodeOpHeader(header.data());
    EXPECT_EQ(op.code, kOpRepImport);
    if (op.status == 0) {
      const std::vector<uint8_t> record = Receive(kDeviceRecordSize);
      if (device && record.size() == kDeviceRecordSize) *device = DecodeDeviceRecord(record.data());
    }
    return op.status;
  }

  void Submit(uint32_t seqnum, uint32_t endpoint, uint32_t direction, uint32_t length,
              std::array<uint8_t, 8> setup = {}, std::vector<uint8_t> payload = {}) {
    UrbCommand c;
    c.seqnum = seqnum;
    c.devid = 0x10002;
    c.endpoint = endpoint;
    c.direction = direction;
    c.transfer_length = length;
    c.number_of_packets = 0xffffffffu;
    c.setup = setup;
    std::vector<uint8_t> bytes;
    AppendCmdSubmit(bytes, c, payload);
    Send(bytes);
  }
  void Control(uint32_t seqnum, std::array<uint8_t, 8> setup) {
    const uint16_t length = static_cast<uint16_t>(setup[6] | setup[7] << 8);
    Submit(seqnum, 0, (setup[0] & 0x80) ? kDirIn : kDirOut, length, setup);
  }
  void Out(uint32_t seqnum, const testing::Report& report) {
    Submit(seqnum, kEndpointOut, kDirOut, 64, {},
           std::vector<uint8_t>(report.begin() + 1, report.end()));
  }
  void Unlink(uint32_t seqnum, uint32_t victim) {
    std::vector<uint8_t> bytes;
    AppendCmdUnlink(bytes, seqnum, victim);
    Send(bytes);
  }

  // The next answer; a data stage follows a RET_SUBMIT of an IN transfer.
  Reply Next(bool in_data) {
    Reply r;
    const std::vector<uint8_t> h = Receive(kUrbHeaderSize);
    if (h.size() < kUrbHeaderSize) return r;
    r.command = GetBig32(&h[0]);
    r.seqnum = GetBig32(&h[4]);
    r.status = static_cast<int32_t>(GetBig32(&h[20]));
    r.actual_length = GetBig32(&h[24]);
    if (r.command == kRetSubmit && in_data) r.data = Receive(r.actual_length);
    return r;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

class UsbipServer : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server_.Listen("127.0.0.1", 0, &error)) << error;
    thread_ = std::thread([this] {
      while (!stop_.load()) server_.Step(2);
    });
  }
  void TearDown() override {
    stop_.store(true);
    thread_.join();
  }

  FakeClock clock_;
  sim::BoardSimulator board_{clock_};
  sim::UsbipBoardServer server_{board_};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(UsbipServer, ListsAndImportsTheBoardAndAnswersItsEnumeration) {
  {
    Importer lister(server_.port());
    std::vector<uint8_t> request;
    AppendOpHeader(request, kOpReqDevlist, 0);
    lister.Send(request);
    const std::vector<uint8_t> reply = lister.Receive(12 + kDeviceRecordSize + 4);
    ASSERT_EQ(reply.size(), 12 + kDeviceRecordSize + 4);
    EXPECT_EQ(GetBig32(&reply[8]), 1u);
    const ExportedDevice listed = DecodeDeviceRecord(&reply[12]);
    EXPECT_EQ(listed.busid, "1-1");
    EXPECT_EQ(reply[12 + kDeviceRecordSize], 3);  // a HID interface
    EXPECT_TRUE(lister.ClosedByServer());
  }
  EXPECT_EQ(Importer(server_.port()).Import("2-7"), 1u);

  Importer kernel(server_.port());
  ExportedDevice device;
  ASSERT_EQ(kernel.Import("1-1", &device), 0u);
  EXPECT_EQ(device.vendor, 0x8888);
  EXPECT_EQ(device.product, 0x0006);
  EXPECT_EQ(device.release, 0x0100);
  EXPECT_EQ(device.speed, kSpeedFull);
  EXPECT_EQ(Importer(server_.port()).Import("1-1"), 1u);  // one importer at a time

  kernel.Control(1, {0x80, 6, 0, 1, 0, 0, 64, 0});  // device descriptor, more than it has
  Reply r = kernel.Next(true);
  EXPECT_EQ(r.seqnum, 1u);
  ASSERT_EQ(r.data.size(), 18u);
  EXPECT_EQ(GetLe(&r.data[8], 2), 0x8888u);
  EXPECT_EQ(GetLe(&r.data[10], 2), 0x0006u);
  EXPECT_EQ(GetLe(&r.data[12], 2), 0x0100u);

  kernel.Control(2, {0x80, 6, 0, 2, 0, 0, 255, 0});  // configuration, whole
  r = kernel.Next(true);
  ASSERT_EQ(r.data.size(), 41u);
  EXPECT_EQ(GetLe(&r.data[2], 2), 41u);
  // Interrupt IN 0x81 and OUT 0x01, 64 bytes, every 1 ms.
  EXPECT_EQ(std::vector<uint8_t>(r.data.begin() + 27, r.data.end()),
            (std::vector<uint8_t>{7, 5, 0x81, 3, 64, 0, 1, 7, 5, 0x01, 3, 64, 0, 1}));

  kernel.Control(3, {0x81, 6, 0, 0x22, 0, 0, 255, 0});  // report descriptor
  r = kernel.Next(true);
  EXPECT_EQ(r.data, ReportDescriptor());

  kernel.Control(4, {0x21, 10, 0, 0, 0, 0, 0, 0});  // SET_IDLE
  EXPECT_EQ(kernel.Next(false).status, kStatusOk);
  kernel.Control(5, {0x80, 6, 0, 6, 0, 0, 10, 0});  // device qualifier: full speed has none
  r = kernel.Next(true);
  EXPECT_EQ(r.seqnum, 5u);
  EXPECT_EQ(r.status, kStatusStall);
}

TEST_F(UsbipServer, InUrbsWaitForRepliesAndUnlinkedUrbsNeverComplete) {
  Importer kernel(server_.port());
  ASSERT_EQ(kernel.Import("1-1"), 0u);
  kernel.Submit(10, 1, kDirIn, 64);  // nothing to say yet: held
  kernel.Submit(11, 1, kDirIn, 64);
  kernel.Unlink(12, 11);
  Reply r = kernel.Next(false);
  EXPECT_EQ(r.command, kRetUnlink);
  EXPECT_EQ(r.seqnum, 12u);
  EXPECT_EQ(r.status, kStatusUnlinked);

  kernel.Out(13, StatusRequestReport(0x2345));
  r = kernel.Next(false);
  EXPECT_EQ(r.seqnum, 13u);
  EXPECT_EQ(r.status, kStatusOk);
  EXPECT_EQ(r.actual_length, 64u);
  r = kernel.Next(true);  // the held IN URB, with the reply's 64 bytes
  EXPECT_EQ(r.seqnum, 10u);
  ASSERT_EQ(r.data.size(), 64u);
  EXPECT_EQ(GetLe(&r.data[0], 2), 0x2345u);

  // The unlinked URB got nothing: the next reply goes to the next IN URB.
  kernel.Out(14, StatusRequestReport(0x2346));
  EXPECT_EQ(kernel.Next(false).seqnum, 14u);
  kernel.Submit(15, 1, kDirIn, 64);
  r = kernel.Next(true);
  EXPECT_EQ(r.seqnum, 15u);
  EXPECT_EQ(GetLe(&r.data[0], 2), 0x2346u);
  EXPECT_EQ(board_.Stats().malformed, 0u);
}

TEST_F(UsbipServer, StalledBoardHoldsOutUrbsAndTheCableEndsTheImport) {
  Importer kernel(server_.port());
  ASSERT_EQ(kernel.Import("1-1"), 0u);
  board_.TakePacketLog();
  board_.StallWrites(true);
  kernel.Out(20, StatusRequestReport(1));
  kernel.Control(21, {0x80, 0, 0, 0, 0, 0, 2, 0});  // GET_STATUS overtakes the held write
  EXPECT_EQ(kernel.Next(true).seqnum, 21u);
  kernel.Unlink(22, 20);  // the host gave up on it
  Reply r = kernel.Next(false);
  EXPECT_EQ(r.seqnum, 22u);
  EXPECT_EQ(r.status, kStatusUnlinked);
  EXPECT_TRUE(board_.TakePacketLog().empty());
  kernel.Out(23, StatusRequestReport(2));
  board_.StallWrites(false);
  EXPECT_EQ(kernel.Next(false).seqnum, 23u);
  ASSERT_EQ(board_.TakePacketLog().size(), 1u);

  board_.Unplug();
  EXPECT_TRUE(kernel.ClosedByServer());
  EXPECT_EQ(Importer(server_.port()).Import("1-1"), 1u);
  board_.Replug();
  Importer again(server_.port());
  EXPECT_EQ(again.Import("1-1"), 0u);
  EXPECT_EQ(server_.imports(), 2);
}

}  // namespace
}  // namespace vaskel
