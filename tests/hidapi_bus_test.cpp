// The real USB HID bus, as far as a machine without the board can show it, and the writer
// thread that gives its blocking writes the overlapped contract.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/report_writer.h"
#include "platform/system_hid.h"

namespace vaskel {
namespace {

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
    EXPECT_TRUE(writer.WaitWriteDone(0));
    EXPECT_EQ(writer.StartWrite(kReport), hid_error::kInvalidHandle);
    system.ReleaseOne();
    // The destructor waits for the held write only.
  }
  EXPECT_EQ(system.entered(), 2);
  EXPECT_FALSE(system.capped());
}

TEST(ReportWriter, AFailureAfterHandOverIsReportedByTheNextStartAndAGoneBoardStaysGone) {
  std::atomic<int> writes{0};
  std::atomic<uint32_t> next{hid_error::kGenFailure};
  ReportWriter writer([&](const uint8_t* report) {
    EXPECT_EQ(report[1], 18);
    ++writes;
    return next.load();
  });
  EXPECT_EQ(writer.StartWrite(kReport), hid_error::kIoPending);
  ASSERT_TRUE(writer.WaitWriteDone(10000));
  EXPECT_EQ(writer.StartWrite(kReport), hid_error::kGenFailure);  // starts nothing
  next = hid_error::kNone;
  EXPECT_EQ(writer.StartWrite(kReport), hid_error::kIoPending);
  ASSERT_TRUE(writer.WaitWriteDone(10000));
  EXPECT_EQ(writes.load(), 2);

  next = hid_error::kDeviceNotConnected;
  EXPECT_EQ(writer.StartWrite(kReport), hid_error::kIoPending);
  ASSERT_TRUE(writer.WaitWriteDone(10000));
  EXPECT_EQ(writer.StartWrite(kReport), hid_error::kDeviceNotConnected);
  EXPECT_EQ(writer.StartWrite(kReport), hid_error::kDeviceNotConnected);
  EXPECT_EQ(writes.load(), 3);
}

}  // namespace
}  // namespace vaskel
