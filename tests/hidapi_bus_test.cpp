// The real USB HID bus, as far as a machine without the board can show it, and the writer
// thread that gives its blocking writes the overlapped contract.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <future>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "platform/report_writer.h"
#include "platform/system_hid.h"

namespace vaskel {
namespace {

// A named pipe stands in for a hidraw node: the port's read open takes what its write open
// puts in, and a full pipe holds a write the way a stalled board does.
TEST(SystemHidBus, APortWritesOnItsWriterThreadAndAHeldWriteEndsWhenTheFarEndTakesIt) {
  char dir[] = "/tmp/vaskel-hidraw-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string node = std::string(dir) + "/hidraw0";
  ASSERT_EQ(mkfifo(node.c_str(), 0600), 0);
  auto bus = MakeSystemHidBus();
  {
    std::unique_ptr<HidPort> port = bus->Open(node);
    ASSERT_NE(port, nullptr);
    uint8_t out[kReportSize];
    for (size_t i = 0; i < kReportSize; ++i) out[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(port->StartWrite(out), hid_error::kIoPending);
    EXPECT_TRUE(port->WaitWriteDone(10000));
    uint8_t in[kReportSize] = {};
    ASSERT_EQ(port->Read(in, 10000), static_cast<int>(kReportSize));
    EXPECT_EQ(in[0], 0);  // the report id the system leaves out
    EXPECT_EQ(std::memcmp(in + 1, out, kReportSize - 1), 0);
    EXPECT_EQ(port->Read(in, 0), 2);  // the last byte of the write (a pipe keeps no frames)

    // Nobody takes reports any more: once the pipe is full a write stays in flight.
    bool held = false;
    for (int i = 0; i < 4096 && !held; ++i) {
      ASSERT_TRUE(port->WaitWriteDone(10000));
      ASSERT_EQ(port->StartWrite(out), hid_error::kIoPending);
      held = !port->WaitWriteDone(20);
    }
    ASSERT_TRUE(held);
    while (port->Read(in, 0) > 0) {
    }
    EXPECT_TRUE(port->WaitWriteDone(10000));
    port->Close();
    EXPECT_EQ(port->Read(in, 0), -1);
    EXPECT_EQ(port->StartWrite(out), hid_error::kInvalidHandle);
  }
  unlink(node.c_str());
  rmdir(dir);
}

TEST(SystemHidBus, EnumeratesAndRefusesAPathThatIsNoDevice) {
  auto bus = MakeSystemHidBus();
  ASSERT_NE(bus, nullptr);
  for (const HidDeviceInfo& info : bus->Enumerate()) EXPECT_FALSE(info.path.empty());
  EXPECT_EQ(bus->Open("/nonexistent/hidraw99"), nullptr);
  EXPECT_EQ(bus->Open(""), nullptr);
}

// A system write that blocks until the test lets it go. The cap stands in for the kernel's
// own time-out, so a fault shows as a failed check, never as a hang.
class BlockedWrites {
 public:
  uint32_t Write(uint32_t result) {
    std::unique_lock lock(mutex_);
    ++entered_;
    changed_.notify_all();
    if (!changed_.wait_for(lock, std::chrono::seconds(10), [&] { return released_ > 0; })) {
      capped_ = true;
    } else {
      --released_;
    }
    return result;
  }
  void ReleaseOne() {
    std::lock_guard lock(mutex_);
    ++released_;
    changed_.notify_all();
  }
  bool WaitEntered(int n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return entered_ >= n; });
  }
  int entered() {
    std::lock_guard lock(mutex_);
    return entered_;
  }
  bool capped() {
    std::lock_guard lock(mutex_);
    return capped_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int entered_ = 0;
  int released_ = 0;
  bool capped_ = false;
};

const uint8_t kReport[kReportSize] = {0, 18};

TEST(ReportWriter, AWriteTheSystemHoldsIsInFlightAndNoCallWaitsForIt) {
  BlockedWrites system;
  {
    ReportWriter writer([&](const uint8_t*) { return system.Write(hid_error::kNone); });
    EXPECT_EQ(writer.StartWrite(kReport), hid_error::kIoPending);
    ASSERT_TRUE(system.WaitEntered(1));
    EXPECT_FALSE(writer.WaitWriteDone(0));
    EXPECT_FALSE(writer.WaitWriteDone(20));
    // One write in flight: a second one would reuse the buffer the system holds.
    EXPECT_EQ(writer.StartWrite(kReport), hid_error::kGenFailure);
    system.ReleaseOne();
    EXPECT_TRUE(writer.WaitWriteDone(10000));

    EXPECT_EQ(writer.StartWrite(kReport), hid_error::kIoPending);
    ASSERT_TRUE(system.WaitEntered(2));
    writer.Close();  // returns with the write still held
    // Still the system's: whether it reached the board is known only once it ends.
    EXPECT_FALSE(writer.WaitWriteDone(0));
    EXPECT_EQ(writer.StartWrite(kReport), hid_error::kInvalidHandle);
    system.ReleaseOne();
    EXPECT_TRUE(writer.WaitWriteDone(10000));
    EXPECT_EQ(writer.LastWriteResult(), hid_error::kNone);
    // The destructor waits for the held write only.
  }
  EXPECT_EQ(system.entered(), 2);
  EXPECT_FALSE(system.capped());
}

// A board that NAKs holds a write until the kernel's own 5 s time-out: closing the port (an
// unload) does not wait for it past its bound; the writer thread ends with the write alone.
TEST(ReportWriter, ABoundedCloseLeavesAWriteTheSystemHoldsToEndOnItsOwn) {
  BlockedWrites system;
  auto returned = std::make_shared<std::promise<void>>();
  std::future<void> done = returned->get_future();
  bool left = false;
  {
    ReportWriter writer(
        [&system, returned](const uint8_t*) {
          const uint32_t result = system.Write(hid_error::kNone);
          returned->set_value();
          return result;
        },
        0, [&] { left = true; });
    EXPECT_EQ(writer.StartWrite(kReport), hid_error::kIoPending);
    ASSERT_TRUE(system.WaitEntered(1));
  }
  EXPECT_TRUE(left);  // the library is kept for the thread that still runs
  system.ReleaseOne();
  EXPECT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_FALSE(system.capped());
}

TEST(ReportWriter, AFailureAfterHandOverIsTheFailedWritesOwnAndAGoneBoardStaysGone) {
  std::atomic<int> writes{0};
  std::atomic<uint32_t> next{hid_error::kGenFailure};
  ReportWriter writer([&](const uint8_t* report) {
    EXPECT_EQ(report[1], 18);
    ++writes;
    return next.load();
  });
  EXPECT_EQ(writer.StartWrite(kReport), hid_error::kIoPending);
  ASSERT_TRUE(writer.WaitWriteDone(10000));
  // The failure is told about the write that failed; the next one is not blamed for it.
  EXPECT_EQ(writer.LastWriteResult(), hid_error::kGenFailure);
  next = hid_error::kNone;
  EXPECT_EQ(writer.StartWrite(kReport), hid_error::kIoPending);
  ASSERT_TRUE(writer.WaitWriteDone(10000));
  EXPECT_EQ(writer.LastWriteResult(), hid_error::kNone);
  EXPECT_EQ(writes.load(), 2);

  next = hid_error::kDeviceNotConnected;
  EXPECT_EQ(writer.StartWrite(kReport), hid_error::kIoPending);
  ASSERT_TRUE(writer.WaitWriteDone(10000));
  EXPECT_EQ(writer.LastWriteResult(), hid_error::kDeviceNotConnected);
  EXPECT_EQ(writer.StartWrite(kReport), hid_error::kDeviceNotConnected);
  EXPECT_EQ(writer.StartWrite(kReport), hid_error::kDeviceNotConnected);
  EXPECT_EQ(writes.load(), 3);
}

}  // namespace
}  // namespace vaskel
