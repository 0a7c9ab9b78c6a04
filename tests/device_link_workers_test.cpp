// The sender, write-completion and receiver workers: start-up traffic, polling, failed and
// stuck writes, reconnection, and the same link on real threads.
#include <gtest/gtest.h>

#include <functional>
#include <utility>

#include "device_test_support.h"
#include "platform/report_writer.h"
#include "platform/workers.h"

namespace vaskel::testing {
namespace {

constexpr const char* kConnectedText = "vaskel device is connnected to your computer!";
constexpr const char* kPulledOutText = "vaskel device is pulled out, check your cable!";
constexpr const char* kGenFailureText = "A device attached to the system is not functioning.";

const std::vector<uint8_t> kStartupOpcodes = {26, 29, 1, 21, 22, 25, 12, 19, 0, 18};

TEST(LinkWorkers, StartupConfigurationGoesOutInOrderWithItsValues) {
  LinkHarness h;
  h.UpdateAndPump();
  const auto written = h.board.written();
  ASSERT_EQ(h.board.written_opcodes(), kStartupOpcodes);
  for (const Report& r : written) EXPECT_EQ(r[0], 0) << "report id";
  EXPECT_EQ(ReportValue(written[0], 2, 4), 1u);  // SyncQueryA carries its own sequence
  EXPECT_EQ(ReportValue(written[1], 2, 4), 2u);
  EXPECT_EQ(ReportValue(written[2], 2, 4), 0u);
  EXPECT_EQ(ReportValue(written[3], 2, 4), 286331153u);
  EXPECT_EQ(ReportValue(written[4], 2, 4), 4800u);
  EXPECT_EQ(ReportValue(written[5], 2, 4), 24u);
  EXPECT_EQ(ReportValue(written[9], 2, 2), 3u);
  EXPECT_EQ(h.link().sequence_counter(), 4);
  EXPECT_FALSE(h.link().needs_configuration());
  EXPECT_FALSE(h.link().link_running());  // no reply yet

  // Until the first status reply, an Update sends nothing more.
  h.UpdateAndPump();
  EXPECT_EQ(h.board.written().size(), kStartupOpcodes.size());
}

TEST(LinkWorkers, OneStatusRequestPerUpdateOnceRunning) {
  LinkHarness h;
  h.BringUp();
  ASSERT_TRUE(h.link().link_running());
  EXPECT_EQ(h.StatusText(), kConnectedText);
  EXPECT_EQ(h.ctx->messages().index(), kMsgDeviceConnected);
  for (int i = 0; i < 3; ++i) {
    h.board.ClearWritten();
    h.UpdateAndPump();
    EXPECT_EQ(h.board.written_opcodes(), std::vector<uint8_t>{kOpStatusRequest});
  }
  EXPECT_EQ(h.link().pending_replies().pending(), 0);
}

TEST(LinkWorkers, UnplugClosesAtOnceAndTheKeptPacketGoesFirstAfterReconnection) {
  LinkHarness h;
  h.BringUp();
  h.board.ClearWritten();
  h.board.QueueWriteResults(hid_error::kDeviceNotConnected);
  h.link().SendCommand(kOpConfigOptionA, 77);
  h.Pump();
  EXPECT_FALSE(h.link().device_connected());
  EXPECT_FALSE(h.link().link_running());
  EXPECT_EQ(h.StatusText(), kPulledOutText);
  EXPECT_EQ(h.link().write_error_count(), 0);
  EXPECT_TRUE(h.link().resync_pending());  // the board may have run on: measure it
  EXPECT_TRUE(h.board.written().empty());

  h.UpdateAndPump();
  ASSERT_TRUE(h.link().device_connected());
  const auto written = h.board.written();
  ASSERT_GE(written.size(), 3u);
  EXPECT_EQ(written[0][1], kOpConfigOptionA);
  EXPECT_EQ(ReportValue(written[0], 2, 4), 77u);
  EXPECT_EQ(written[1][1], kOpStatusRequest);  // the measuring request, ahead of the stop
  EXPECT_EQ(written[2][1], kOpSyncQueryA);
  EXPECT_FALSE(h.link().resync_pending());
  // The reply after the start-up stop came too soon after it to settle what the board ran:
  // the next Update asks again.
  h.platform.clock_.AdvanceMs(20);
  h.UpdateAndPump();
  EXPECT_TRUE(h.link().link_running());  // aligned again
}

// A stop kept from the connection that failed would clear the board's queue ahead of the
// request that measures it: the measured fill would then say the board lost nothing, and
// what the stop cleared would never be sent again. The start-up stop comes behind it anyway.
TEST(LinkWorkers, AKeptStopIsNotWrittenAheadOfTheResynchronisationsMeasurement) {
  LinkHarness h;
  h.BringUp();
  h.board.ClearWritten();
  h.board.QueueWriteResults(hid_error::kDeviceNotConnected);
  h.link().SendCommand(kOpStopMotion, 77);
  h.Pump();
  ASSERT_FALSE(h.link().device_connected());
  ASSERT_TRUE(h.link().resync_pending());

  h.UpdateAndPump();
  ASSERT_TRUE(h.link().device_connected());
  const auto written = h.board.written();
  ASSERT_GE(written.size(), 2u);
  EXPECT_EQ(written[0][1], kOpStatusRequest);  // the measurement comes first
  int stops = 0;
  for (const auto& report : written) {
    if (report[1] != kOpStopMotion) continue;
    ++stops;
    EXPECT_EQ(ReportValue(report, 2, 4), 0u);  // the start-up stop, not the kept one
  }
  EXPECT_EQ(stops, 1);
  // The reply after the start-up stop came too soon after it to settle what the board ran:
  // the next Update asks again.
  h.platform.clock_.AdvanceMs(20);
  h.UpdateAndPump();
  EXPECT_TRUE(h.link().link_running());
}

TEST(LinkWorkers, WriteStuckForFourSecondsClosesKeepsThePacketAndResynchronises) {
  LinkHarness h;
  h.BringUp();
  h.SendSteppedMotion(6);  // 42 segments, 5 of them run
  h.board.SetStatus(37, {5, 0, 0, 0, 0, 0});
  h.UpdateAndPump();  // a reply with fill 37
  ASSERT_EQ(h.link().device_fill(), 37);
  h.board.SetAutoReply(false);
  h.board.ClearWritten();

  h.board.QueueWriteResults(hid_error::kIoPending);
  h.link().SendCommand(kOpConfigOptionA, 1);  // goes out and never completes
  h.link().SendCommand(kOpConfigOptionB, 2);  // waits behind it, in the ring
  h.Pump();
  ASSERT_TRUE(h.link().write_in_flight());
  h.platform.clock_.AdvanceMs(3999);
  h.Pump(3);
  EXPECT_TRUE(h.link().device_connected());
  EXPECT_EQ(h.link().rewind_count(), 0u);

  h.platform.clock_.AdvanceMs(1);
  h.Pump();
  EXPECT_FALSE(h.link().device_connected());
  // The fill of 37 is four seconds old: the next connection's first reply decides the rewind.
  EXPECT_EQ(h.link().rewind_count(), 0u);
  EXPECT_TRUE(h.link().resync_pending());
  // The stuck write counts as one failure, its text shown; it is kept for the next link.
  EXPECT_EQ(h.link().write_error_count(), 1);
  EXPECT_EQ(h.StatusText(), "System error 6 (0x00000006).");
  EXPECT_FALSE(h.link().advance_to_next());

  h.Pump(3);  // closed: nothing more happens
  EXPECT_EQ(h.link().write_error_count(), 1);
  EXPECT_EQ(h.link().rewind_count(), 0u);

  h.board.CompleteWrite();
  h.board.ClearWritten();
  h.board.SetAutoReply(true);
  // The board ran on through the drop; its counts bear out the 30 segments run, and the 12 it
  // held it never ran before the start-up stop.
  h.board.SetStatus(12, {30, 0, 0, 0, 0, 0});
  h.UpdateAndPump();
  const auto written = h.board.written();
  ASSERT_FALSE(written.empty());
  // The stuck packet goes first; the one behind it went with the ring reset.
  EXPECT_EQ(written[0][1], kOpConfigOptionA);
  EXPECT_EQ(ReportValue(written[0], 2, 4), 1u);
  EXPECT_EQ(written[1][1], kOpStatusRequest);  // the resynchronising request
  EXPECT_EQ(written[2][1], kOpSyncQueryA);
  h.Pump(4);
  // The rewind waits for the counts after the stop.
  EXPECT_EQ(h.link().rewind_count(), 1u);
  EXPECT_EQ(h.link().last_rewind_fill(), 12);
}

TEST(LinkWorkers, CompletedWriteLetsTheNextOneGo) {
  LinkHarness h;
  h.BringUp();
  h.board.ClearWritten();
  h.board.QueueWriteResults(hid_error::kIoPending);
  h.link().SendCommand(kOpConfigOptionA, 1);
  h.link().SendCommand(kOpConfigOptionB, 2);
  h.Pump(2);
  EXPECT_EQ(h.board.written().size(), 1u);
  h.board.CompleteWrite();
  h.Pump(2);
  EXPECT_FALSE(h.link().write_in_flight());
  EXPECT_EQ(h.board.written().size(), 2u);
  EXPECT_TRUE(h.link().device_connected());
}

TEST(LinkWorkers, TwentyFailuresKeepTheLinkAndTheTwentyFirstClosesIt) {
  LinkHarness h;
  h.BringUp();
  h.board.ClearWritten();
  h.board.QueueWriteResults(hid_error::kGenFailure, 20);
  h.link().SendCommand(kOpConfigOptionA, 5);
  h.Pump();
  EXPECT_TRUE(h.link().device_connected());
  // The 21st try went through, so the failures are no longer in a row.
  EXPECT_EQ(h.link().write_error_count(), 0);
  EXPECT_EQ(h.board.written().size(), 1u);
  EXPECT_EQ(h.StatusText(), kGenFailureText);
  EXPECT_FALSE(h.link().resync_pending());

  h.board.QueueWriteResults(hid_error::kGenFailure, 21);
  h.link().SendCommand(kOpConfigOptionA, 6);
  h.Pump();
  EXPECT_FALSE(h.link().device_connected());
  EXPECT_TRUE(h.link().resync_pending());
  EXPECT_EQ(h.link().write_error_count(), 0);
  // Message 3 from the close, at once replaced by the error's text.
  EXPECT_EQ(h.ctx->messages().index(), kMsgDevicePulledOut);
  EXPECT_EQ(h.StatusText(), kGenFailureText);
}

TEST(LinkWorkers, APendingWriteEndsTheRowOfFailuresOnceDelivered) {
  LinkHarness h;
  h.BringUp();
  h.board.QueueWriteResults(hid_error::kGenFailure, 5);
  h.board.QueueWriteResults(hid_error::kIoPending);
  h.link().SendCommand(kOpConfigOptionA, 5);
  h.Pump();
  EXPECT_EQ(h.link().write_error_count(), 5);  // it may still fail on its way
  EXPECT_TRUE(h.link().write_in_flight());
  h.board.CompleteWrite();
  h.Pump();
  EXPECT_EQ(h.link().write_error_count(), 0);
}

TEST(LinkWorkers, AfterTooManyFailuresTheBoardIsResynchronisedThenAligned) {
  LinkHarness h;
  // The fake board still says 10 after the start-up stop, which no board would.
  h.link().set_judge_counts_for_test(false);
  h.memory.blocks().engine.Set(engine::kAxisPosition[0], 5000);
  h.board.SetStatus(0, {100, 0, 0, 0, 0, 0});
  h.BringUp();
  ASSERT_EQ(h.memory.blocks().engine.Get(engine::kAxisPosition[0]), 5000);
  h.SendSteppedMotion(2);  // 14 segments, 4 of them run
  h.board.SetStatus(10, {104, 0, 0, 0, 0, 0});
  h.UpdateAndPump();
  ASSERT_EQ(h.memory.blocks().engine.Get(engine::kAxisPosition[0]), 5004);

  h.board.QueueWriteResults(hid_error::kGenFailure, 21);
  h.UpdateAndPump();
  ASSERT_TRUE(h.link().resync_pending());
  h.board.ClearWritten();

  // The board's queue still holds the 10 segments, and its counts show it ran none of them
  // before the start-up stop.
  h.board.SetStatus(10, {104, 0, 0, 0, 0, 0}, 0x5);
  const uint32_t rewinds = h.link().rewind_count();
  h.memory.blocks().engine.Set(engine::kAxisPosition[0], 6000);
  h.UpdateAndPump();
  const auto ops = h.board.written_opcodes();
  ASSERT_GE(ops.size(), 3u);
  EXPECT_EQ(ops[0], kOpStatusRequest);  // the kept packet
  EXPECT_EQ(ops[1], kOpStatusRequest);  // resynchronisation first
  // A second measuring request just ahead of the stop, for a lost first reply; its reply,
  // coming second, neither rewinds again nor aligns.
  const std::vector<uint8_t> resync_startup = {26, 29, 1, 21, 22, 25, 12, 18, 19, 0, 18};
  EXPECT_EQ(std::vector<uint8_t>(ops.begin() + 2, ops.end()), resync_startup);
  EXPECT_FALSE(h.link().resync_pending());
  EXPECT_EQ(h.link().rewind_count(), rewinds + 1);
  EXPECT_EQ(h.link().last_rewind_fill(), 10);
  EXPECT_TRUE(h.link().link_running());
  // The counts bear out what the board was sent: the positions go on from the board's, not
  // from whatever the host's word held meanwhile.
  EXPECT_EQ(h.memory.blocks().engine.Get(engine::kAxisPosition[0]), 5004);
  EXPECT_EQ(h.link().axis_offset(0), 4900);
}

TEST(LinkWorkers, ReceiverSkipsEmptyReadsAndReportsOfAClosedLink) {
  LinkHarness h;
  h.UpdateAndPump();
  const int32_t before = h.link().receive_ring().write_index();
  h.board.QueueReport({});
  h.Pump();
  EXPECT_EQ(h.board.reads_served(), 1u);
  EXPECT_EQ(h.link().receive_ring().write_index(), before);

  h.link().CloseDevice();
  h.board.QueueReport(StatusReply(3, 0, {}));
  h.Pump(2);
  EXPECT_EQ(h.board.reads_served(), 1u);  // nothing read from a closed port
  EXPECT_EQ(h.link().receive_ring().write_index(), before);
}

TEST(LinkWorkers, PendingEntriesOfAResetRingAreFreedOnReconnection) {
  LinkHarness h;
  h.BringUp();
  // The board stops answering; requests pile up until the link is closed.
  h.board.SetAutoReply(false);
  for (int i = 0; i < 1100; ++i) h.link().SendStatusRequest();
  EXPECT_EQ(h.link().pending_replies().pending(), PendingReplyTable::kEntries - 1);
  h.board.QueueWriteResults(hid_error::kDeviceNotConnected);
  h.Pump();
  ASSERT_FALSE(h.link().device_connected());

  h.board.SetAutoReply(true);
  h.board.SetStatus(0, {42, 0, 0, 0, 0, 0});
  h.UpdateAndPump();
  // The reply after the start-up stop came too soon after it to settle what the board ran:
  // the next Update asks again.
  h.platform.clock_.AdvanceMs(20);
  h.UpdateAndPump();
  EXPECT_TRUE(h.link().link_running());
  EXPECT_EQ(h.link().board_count(0), 42);
  // Later replies still find their entries.
  h.board.SetStatus(0, {43, 0, 0, 0, 0, 0});
  h.UpdateAndPump();
  EXPECT_EQ(h.link().board_count(0), 43);
  EXPECT_EQ(h.link().pending_replies().pending(), 0);
}

// Stands in for the receiver being overtaken by the sender: the link closes after the report
// was read and before its status is processed.
void CloseThenProcessStatus(void* user, const uint8_t* payload, size_t size) {
  DeviceLink& link = *static_cast<DeviceLink*>(user);
  link.CloseDevice();
  link.OnStatusReply(payload, size);
}

TEST(LinkWorkers, AReplyOvertakenByACloseDoesNotMarkTheClosedLinkRunning) {
  LinkHarness h;
  h.memory.blocks().engine.Set(engine::kAxisPosition[0], 5000);
  h.Update();  // connected and configured; no reply yet
  ASSERT_TRUE(h.link().device_connected());
  ASSERT_FALSE(h.link().link_running());
  constexpr uint16_t kSequence = 0x1234;
  h.link().pending_replies().RegisterReply(kSequence, {&CloseThenProcessStatus, &h.link()});
  const std::vector<uint8_t> reply = StatusReply(kSequence, 3, {100, 0, 0, 0, 0, 0});
  h.link().HandleReport(reply.data(), reply.size());
  EXPECT_FALSE(h.link().device_connected());
  EXPECT_FALSE(h.link().link_running());
  EXPECT_EQ(h.StatusText(), kPulledOutText);
  EXPECT_EQ(h.memory.blocks().engine.Get(engine::kAxisPosition[0]), 5000);

  // The next connection still aligns on its own first reply.
  h.board.SetStatus(0, {40, 0, 0, 0, 0, 0});
  h.BringUp();
  EXPECT_TRUE(h.link().link_running());
  EXPECT_EQ(h.link().axis_offset(0), 4960);
  EXPECT_EQ(h.StatusText(), kConnectedText);
}

TEST(LinkWorkers, AReplyOvertakenByACloseLeavesTheResynchronisationForTheNextLink) {
  LinkHarness h;
  h.BringUp();
  h.board.SetAutoReply(false);
  h.board.QueueWriteResults(hid_error::kGenFailure, 21);
  h.link().SendCommand(kOpConfigOptionA, 1);
  h.Pump();
  ASSERT_TRUE(h.link().resync_pending());
  ASSERT_FALSE(h.link().device_connected());
  const uint32_t rewinds = h.link().rewind_count();

  // A reply read before that close is processed only now.
  constexpr uint16_t kSequence = 0x0777;
  h.link().pending_replies().RegisterReply(kSequence, {&CloseThenProcessStatus, &h.link()});
  const std::vector<uint8_t> stale = StatusReply(kSequence, 9, {});
  h.link().HandleReport(stale.data(), stale.size());
  EXPECT_TRUE(h.link().resync_pending());
  EXPECT_EQ(h.link().rewind_count(), rewinds);
  EXPECT_FALSE(h.link().link_running());
}

// A stream whose rewind is where the sender, on its own thread, closes the link again for too
// many failed writes while a resynchronising reply is being handled.
class CloseDuringRewindClient : public LinkClient {
 public:
  std::function<void()> during_rewind;
  void RewindStream(int32_t) override {
    if (auto f = std::exchange(during_rewind, nullptr)) f();
  }
  uint32_t SegmentsSent() const override { return 0; }
  void ResetSegmentsSent() override {}
  uint64_t SegmentsSentMark() const override { return 0; }
  bool PositionsFollowBoard(int32_t, uint64_t) override { return true; }
  void StopProgram() override {}
  bool SettleTakeUps(int32_t, int32_t) override { return true; }
  void OnInputWord() override {}
  uint32_t OutputWord() const override { return 0; }
  int32_t SpindleValue() const override { return 0; }
};

TEST(LinkWorkers, AResynchronisationAskedForWhileAReplyConsumesTheLastOneIsKept) {
  LinkHarness h;  // lends its platform, board and status line; its own link stays idle
  CloseDuringRewindClient client;
  const std::atomic<int32_t> buffer_ms{200};
  DeviceLink link(LinkServices{h.host(), h.ctx->messages(), h.platform.clock_, h.platform.workers_,
                               [&]() -> HidBus& { return h.bus; }, buffer_ms, client,
                               h.platform.log_});
  const auto fail_21_writes = [&] {
    h.board.QueueWriteResults(hid_error::kGenFailure, 21);
    link.SendCommand(kOpConfigOptionA, 0);
    h.Pump();
  };
  link.ServiceLink();
  h.Pump(4);
  fail_21_writes();
  ASSERT_TRUE(link.resync_pending());
  link.ServiceLink();  // connected again; a resynchronising request goes first
  h.Pump(4);
  ASSERT_TRUE(link.device_connected());

  client.during_rewind = fail_21_writes;
  const std::vector<uint8_t> reply = StatusReply(1, 5, {});
  // Taken after the stop, the reply rewinds there and then.
  link.OnStatusReply(reply.data() + 3, reply.size() - 3, DeviceLink::StatusRole::kAfterStop);
  EXPECT_FALSE(link.device_connected());
  EXPECT_TRUE(link.resync_pending());  // the second close's request is the next link's
  link.Shutdown();
}

// A platform whose workers are real threads, for the sanitizers' sake.
class ThreadedPlatform : public TestPlatform {
 public:
  Workers& workers() override { return threads_; }
  ThreadWorkers threads_;
};

TEST(LinkWorkers, RunsOnRealThreadsAndStopsPromptly) {
  ThreadedPlatform platform;
  FakeHidBus bus;
  FakeBoard board;
  sim::HostMemory memory;
  platform.hid_ = &bus;
  bus.AttachBoard(kBoardPath, &board);
  bus.AddInterface(0x8888, 0x0006, 0x0100, kBoardPath);
  board.SetAutoReply(true);
  board.SetStatus(3, {1, 2, 3, 4, 5, 6});
  {
    PluginContext ctx(platform);
    ctx.SetProName(host_string::Make("vaskel.xml"));
    ctx.InitControl(memory.engine(), memory.setup(), memory.planner(), memory.window());
    ctx.PostInitControl();
    // Updates until the board has answered 40 requests; each wait ends at the next reply.
    for (int i = 0; i < 2000 && board.reads_served() < 40; ++i) {
      ctx.Update();
      board.WaitForReads(board.reads_served() + 1, std::chrono::milliseconds(20));
    }
    EXPECT_GE(board.reads_served(), 40u);
    EXPECT_TRUE(ctx.link().link_running());
    EXPECT_TRUE(ctx.link().device_connected());
    // The worker threads end with the context.
  }
  host_string::Release(memory.blocks().planner.Get(planner::kStatusText));
  EXPECT_GE(board.written().size(), 40u);
}

// StopPlug waits for each worker's step in hand: a system that takes every write slowly
// (Wine's HID stack, about ten a second) must not hold the sender for a whole batch of them.
TEST(LinkWorkers, ASenderStepEndsWithinAWaitSliceHoweverSlowlyTheSystemWrites) {
  LinkHarness h;
  h.BringUp();
  h.board.ClearWritten();
  h.board.SetOnWrite([&] { h.platform.clock_.AdvanceMs(40); });
  for (int p = 0; p < 20; ++p) {
    uint8_t* body = h.link().BeginMotionPacket();
    body[0] = 1;
    h.link().CommitPacket();
  }
  h.Pump();
  // Writes start at 0, 40 and 80 ms; at 120 ms the step is over.
  EXPECT_EQ(h.board.written().size(), 3u);
  h.board.SetOnWrite(nullptr);
  h.Pump(2);
  EXPECT_EQ(h.board.written().size(), 20u);  // nothing lost between steps
}

// The system under a port like the hidapi one: writes run on the port's writer thread and,
// while held, block until the test lets one go or the port is closed (the kernel ends a write
// to a node that is gone). The cap stands in for the kernel's own time-out.
class HeldWrites {
 public:
  uint32_t Write(const uint8_t* report, const bool& port_closed) {
    std::unique_lock lock(mutex_);
    ++entered_;
    changed_.notify_all();
    if (hold_ && !changed_.wait_for(lock, std::chrono::seconds(10),
                                    [&] { return released_ > 0 || port_closed; })) {
      capped_ = true;
    }
    if (released_ > 0) --released_;
    Report r;
    std::memcpy(r.data(), report, kReportSize);
    written_.push_back(r);
    changed_.notify_all();
    return hid_error::kNone;
  }
  int Read(const bool& port_closed, int timeout_ms) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(std::max(timeout_ms, 0)),
                      [&] { return port_closed; });
    return port_closed ? -1 : 0;
  }
  void Closed(bool& port_closed) {
    std::lock_guard lock(mutex_);
    port_closed = true;
    changed_.notify_all();
  }
  void SetHold(bool hold) {
    std::lock_guard lock(mutex_);
    hold_ = hold;
  }
  bool WaitEntered(int n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return entered_ >= n; });
  }
  void WaitWritten(size_t n, int ms) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return written_.size() >= n; });
  }
  int entered() {
    std::lock_guard lock(mutex_);
    return entered_;
  }
  bool capped() {
    std::lock_guard lock(mutex_);
    return capped_;
  }
  std::vector<Report> written() {
    std::lock_guard lock(mutex_);
    return written_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool hold_ = true;
  int entered_ = 0;
  int released_ = 0;
  bool capped_ = false;
  std::vector<Report> written_;
};

class HeldWritePort : public HidPort {
 public:
  explicit HeldWritePort(HeldWrites& system)
      : system_(system),
        writer_(std::in_place, [this](const uint8_t* r) { return system_.Write(r, closed_); }) {}
  ~HeldWritePort() override {
    Close();
    writer_.reset();
  }
  uint32_t StartWrite(const uint8_t report[kReportSize]) override {
    return writer_->StartWrite(report);
  }
  bool WaitWriteDone(uint32_t timeout_ms) override { return writer_->WaitWriteDone(timeout_ms); }
  uint32_t LastWriteResult() override { return writer_->LastWriteResult(); }
  int Read(uint8_t report[kReportSize], int timeout_ms) override {
    return system_.Read(closed_, timeout_ms);
  }
  void Close() override {
    system_.Closed(closed_);
    writer_->Close();
  }

 private:
  HeldWrites& system_;
  bool closed_ = false;  // under the system's lock
  std::optional<ReportWriter> writer_;
};

class HeldWriteBus : public HidBus {
 public:
  explicit HeldWriteBus(HeldWrites& system) : system_(system) {}
  std::vector<HidDeviceInfo> Enumerate() override { return {{0x8888, 0x0006, 0x0100, kBoardPath}}; }
  std::unique_ptr<HidPort> Open(const std::string&) override {
    return std::make_unique<HeldWritePort>(system_);
  }

 private:
  HeldWrites& system_;
};

TEST(LinkWorkers, AWriteTheSystemHoldsClosesTheLinkAfterFourSeconds) {
  HeldWrites system;  // outlives the link, whose port writes into it
  HeldWriteBus bus(system);
  LinkHarness h;
  h.platform.hid_ = &bus;
  h.Update();
  h.Pump(2);
  ASSERT_TRUE(system.WaitEntered(1));  // the first report of the start-up is held
  EXPECT_TRUE(h.link().write_in_flight());
  h.platform.clock_.AdvanceMs(3999);
  h.Pump(3);
  EXPECT_TRUE(h.link().device_connected());
  EXPECT_EQ(system.entered(), 1);

  h.platform.clock_.AdvanceMs(1);
  h.Pump();
  EXPECT_FALSE(h.link().device_connected());
  // The next connection's first reply decides the rewind.
  EXPECT_EQ(h.link().rewind_count(), 0u);
  EXPECT_TRUE(h.link().resync_pending());

  // The held report ends when the system lets it go. After the reconnection the new start-up
  // follows (those that waited behind it went with the ring reset), resynchronising first.
  system.SetHold(false);
  h.Update();
  // The writer thread takes each report in its own time; pump until three have gone out.
  for (int i = 0; i < 5000 && system.written().size() < 4; ++i) {
    h.Pump();
    system.WaitWritten(4, 1);
  }
  const auto written = system.written();
  ASSERT_GE(written.size(), 3u);
  // The system delivered the held report as the port closed: the board has it, and writing it
  // again would run it twice.
  EXPECT_EQ(written[0][1], kOpSyncQueryA);
  EXPECT_EQ(ReportValue(written[0], 2, 4), 1u);
  EXPECT_EQ(written[1][1], kOpStatusRequest);
  EXPECT_EQ(written[2][1], kOpSyncQueryA);
  EXPECT_NE(ReportValue(written[2], 2, 4), 1u);
  EXPECT_FALSE(system.capped());
}

// A write the system takes and then fails is that packet's failure: the packet is written
// again, and the one behind it is not blamed.
TEST(LinkWorkers, AWriteThatFailsAfterItWentPendingIsKeptAndWrittenAgain) {
  LinkHarness h;
  h.board.QueueWriteResults(hid_error::kIoPending);
  h.Update();
  h.Pump(2);
  ASSERT_TRUE(h.board.write_pending());
  h.board.CompleteWrite(hid_error::kGenFailure);
  h.Pump(4);
  EXPECT_EQ(h.link().write_error_count(), 0);  // the write again went through
  EXPECT_EQ(h.StatusText(), kGenFailureText);
  const auto written = h.board.written();
  ASSERT_GE(written.size(), 3u);
  for (size_t k : {0, 1}) {
    EXPECT_EQ(written[k][1], kOpSyncQueryA);
    EXPECT_EQ(ReportValue(written[k], 2, 4), 1u);
  }
  EXPECT_EQ(written[2][1], kOpSyncQueryB);
  const LinkFigures figures = h.link().Figures(true);
  EXPECT_EQ(figures.write_failures[0].code, hid_error::kGenFailure);
  EXPECT_EQ(figures.write_failures[0].count, 1u);

  // Failures in a row count as failures even when each went pending first: the link is not
  // held open forever by a board that fails everything late.
  h.board.QueueWriteResults(hid_error::kIoPending);
  h.link().SendCommand(kOpConfigOptionA, 0);
  h.Pump();
  for (int i = 0; i <= DeviceLink::kMaxWriteErrors && h.link().device_connected(); ++i) {
    h.board.QueueWriteResults(hid_error::kIoPending);  // for the write again
    h.board.CompleteWrite(hid_error::kGenFailure);
    h.Pump();
  }
  EXPECT_FALSE(h.link().device_connected());
  EXPECT_TRUE(h.link().resync_pending());
}

// Given up on after 4 s, a write may still reach the board before the system's own time-out:
// the next connection waits to learn which, and writes it again only if it did not.
TEST(LinkWorkers, AWriteGivenUpOnIsWrittenAgainOnlyIfItNeverReachedTheBoard) {
  for (const uint32_t end : {hid_error::kNone, hid_error::kGenFailure}) {
    SCOPED_TRACE(end);
    LinkHarness h;
    h.board.SetHoldAfterClose(true);
    h.board.QueueWriteResults(hid_error::kIoPending);
    h.Update();
    h.Pump(2);
    h.platform.clock_.AdvanceMs(4000);
    h.Pump();
    ASSERT_FALSE(h.link().device_connected());
    ASSERT_TRUE(h.link().resync_pending());
    h.board.SetAutoReply(true);
    h.UpdateAndPump();
    EXPECT_EQ(h.board.written().size(), 1u);  // nothing new while the old write is out
    h.board.CompleteWrite(end);
    h.Pump(4);
    const auto ops = h.board.written_opcodes();
    ASSERT_GE(ops.size(), 3u);
    EXPECT_EQ(ops[0], kOpSyncQueryA);
    const size_t next = end == hid_error::kNone ? 1 : 2;
    if (next == 2) {
      EXPECT_EQ(ops[1], kOpSyncQueryA);  // the same packet, once more
    }
    EXPECT_EQ(ops[next], kOpStatusRequest);  // the resynchronisation measures
  }
}

TEST(LinkWorkers, AStepOfTheCalendarClockIsNoStuckWrite) {
  LinkHarness h;
  h.board.QueueWriteResults(hid_error::kIoPending);
  h.Update();
  h.Pump(2);
  ASSERT_TRUE(h.link().write_in_flight());
  h.platform.clock_.StepWallMs(3600 * 1000);
  h.Pump(3);
  EXPECT_TRUE(h.link().device_connected());
  h.platform.clock_.StepWallMs(-7200 * 1000);
  h.Pump(3);
  EXPECT_TRUE(h.link().device_connected());
  h.platform.clock_.AdvanceMs(4000);  // four seconds that really passed
  h.Pump();
  EXPECT_FALSE(h.link().device_connected());
}

// A board that takes writes and answers nothing for longer than the pending-reply table holds
// requests: once it answers again, positions and the planner's need for data move again.
TEST(LinkWorkers, ABoardSilentForAMinuteIsFollowedAgainWhenItAnswers) {
  LinkHarness h;
  h.link().set_judge_counts_for_test(false);  // its counts move with nothing sent
  h.BringUp();
  ASSERT_TRUE(h.link().link_running());
  h.board.SetStatus(100, {});
  h.UpdateAndPump();
  ASSERT_FALSE(h.host().planner.Get(planner::kDeviceNeedsData));
  h.board.SetAutoReply(false);
  for (int i = 0; i < 1200; ++i) h.UpdateAndPump();
  EXPECT_EQ(h.link().pending_replies().pending(), PendingReplyTable::kEntries - 1);
  h.board.SetStatus(5, {777, 0, 0, 0, 0, 0});
  h.board.SetAutoReply(true);
  h.UpdateAndPump();
  EXPECT_EQ(h.host().engine.Get(engine::kAxisPosition[0]), 777);
  EXPECT_TRUE(h.host().planner.Get(planner::kDeviceNeedsData));
  EXPECT_EQ(h.link().pending_replies().pending(), 0);
}

// Every measuring reply of a resynchronisation lost, and only the reply after the start-up
// stop answered: the board's counts are final then. A board that held nothing is known to have
// lost nothing, and the link carries on. One that may still have held segments cannot say how
// far it ran: its counts would read the same had it run them all and then reset, so the host's
// program stops and the axes must be homed again.
TEST(LinkWorkers, AResyncThatCannotMeasureStopsTheProgramAndUnreferencesTheAxes) {
  enum class Want { kCarryOn, kUnmeasured };
  struct Case {
    const char* name;
    int packets;  // stepped motion packets, one step a segment on channel 0
    uint16_t fill;
    int32_t counts_after;
    bool stop_between;
    Want want;
    int32_t rewound;
  };
  const Case cases[] = {
      {"held nothing", 0, 0, 0, false, Want::kCarryOn, 0},
      {"counts as if it ran none of the 40 it held", 6, 40, 2, false, Want::kUnmeasured, 0},
      {"counts as if it ran 15 of them", 6, 40, 17, false, Want::kUnmeasured, 0},
      {"a stop between", 6, 40, 2, true, Want::kUnmeasured, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LinkHarness h;
    h.BringUp();
    h.SendSteppedMotion(c.packets);
    const int32_t ran_before = c.packets * 7 - c.fill;
    h.board.SetStatus(c.fill, {ran_before, 0, 0, 0, 0, 0});
    h.UpdateAndPump();
    ASSERT_EQ(h.link().device_fill(), c.fill);
    h.board.SetAutoReply(false);
    if (c.stop_between) h.link().SendCommand(kOpStopMotion, 0);
    h.board.QueueWriteResults(hid_error::kGenFailure, DeviceLink::kMaxWriteErrors + 1);
    h.link().SendCommand(kOpConfigOptionA, 0);
    h.Pump();
    ASSERT_TRUE(h.link().resync_pending());
    const HostBlock& engine = h.host().engine;
    for (size_t a = 0; a < 6; ++a) engine.Set(engine::kAxisReferenced[a], true);
    engine.Set(engine::kTrajProducerIndex, 30);  // a program under way
    engine.Set(engine::kTrajConsumerIndex, 10);

    h.board.ClearWritten();
    h.UpdateAndPump();
    // Only the request after the start-up stop is answered.
    const auto written = h.board.written();
    ASSERT_FALSE(written.empty());
    ASSERT_EQ(written.back()[1], kOpStatusRequest);
    const auto last = static_cast<uint16_t>(ReportValue(written.back(), 2, 2));
    const uint32_t rewinds = h.link().rewind_count();
    h.board.QueueReport(StatusReply(last, 0, {c.counts_after, 0, 0, 0, 0, 0}));
    h.Pump(2);
    // Answered at once after the stop, the board may still have been finishing a segment the
    // stop let run: it is asked again at the next Update, and that answer settles it.
    ASSERT_TRUE(h.link().resync_pending());
    h.platform.clock_.AdvanceMs(20);
    h.board.ClearWritten();
    h.UpdateAndPump();
    ASSERT_FALSE(h.board.written().empty());
    ASSERT_EQ(h.board.written().back()[1], kOpStatusRequest);
    const auto again = static_cast<uint16_t>(ReportValue(h.board.written().back(), 2, 2));
    h.board.QueueReport(StatusReply(again, 0, {c.counts_after, 0, 0, 0, 0, 0}));
    h.Pump(2);
    EXPECT_FALSE(h.link().resync_pending());
    if (c.want == Want::kCarryOn) {
      EXPECT_EQ(h.link().rewind_count(), rewinds + 1);
      EXPECT_EQ(h.link().last_rewind_fill(), c.rewound);
      EXPECT_EQ(h.link().unmeasured_resyncs(), 0u);
      EXPECT_EQ(h.link().position_lost_resyncs(), 0u);
      EXPECT_TRUE(engine.Get(engine::kAxisReferenced[0]));
      continue;
    }
    EXPECT_EQ(h.link().rewind_count(), rewinds);  // no guess
    EXPECT_EQ(h.link().unmeasured_resyncs(), 1u);
    EXPECT_EQ(h.StatusText(), DeviceLink::kPositionLostText);
    for (size_t a = 0; a < 6; ++a) EXPECT_FALSE(engine.Get(engine::kAxisReferenced[a])) << a;
    EXPECT_EQ(engine.Get(engine::kTrajConsumerIndex), engine.Get(engine::kTrajProducerIndex));
    EXPECT_EQ(h.ctx->motion().state(), kHalted);
  }
}

TEST(LinkWorkers, StopPlugDoesNotWaitOnAWriteTheSystemHolds) {
  ThreadedPlatform platform;
  HeldWrites system;
  HeldWriteBus bus(system);
  sim::HostMemory memory;
  platform.hid_ = &bus;
  {
    PluginContext ctx(platform);
    ctx.SetProName(host_string::Make("vaskel.xml"));
    ctx.InitControl(memory.engine(), memory.setup(), memory.planner(), memory.window());
    ctx.PostInitControl();
    ctx.Update();
    ASSERT_TRUE(system.WaitEntered(1));
    // The workers end within their wait slice; the held write ends with the port's close.
    ctx.StopPlug();
    EXPECT_EQ(system.entered(), 1);
  }
  host_string::Release(memory.blocks().planner.Get(planner::kStatusText));
  EXPECT_FALSE(system.capped());
}

}  // namespace
}  // namespace vaskel::testing
