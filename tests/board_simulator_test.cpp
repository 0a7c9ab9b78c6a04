#include "sim/board/board_simulator.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

#include "board_reports.h"

namespace vaskel::sim {
namespace {

using testing::CommandReport;
using testing::Forward;
using testing::GetLe;
using testing::MotionReport;
using testing::Report;
using testing::SegmentBytes;
using testing::StatusRequestReport;

ChannelSteps Decode(SegmentBytes b) {
  return DecodeSegment(b.data());
}

TEST(SegmentDecode, EncodedExamples) {
  EXPECT_EQ(Decode({0x05, 0, 0, 0, 0, 0, 0, 0, 0}), (ChannelSteps{5, 0, 0, 0, 0, 0}));
  // Direction bits on the empty fields move nothing.
  EXPECT_EQ(Decode({0x05, 0x88, 0, 0, 0x88, 0, 0, 0x88, 0}), (ChannelSteps{-5, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Decode({0x01, 0x00, 0x02, 0x03, 0x00, 0x04, 0x05, 0x00, 0x06}),
            (ChannelSteps{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(Decode({0, 0x01, 0x2c, 0, 0, 0, 0, 0, 0}), (ChannelSteps{0, 300, 0, 0, 0, 0}));
}

TEST(SegmentDecode, FullMagnitudeOnEveryChannel) {
  // 2047 with and without the direction bit, alternating, checks every nibble's place.
  const SegmentBytes b = {0xff, 0xf7, 0xff, 0xff, 0xf7, 0xff, 0xff, 0xf7, 0xff};
  EXPECT_EQ(Decode(b), (ChannelSteps{-2047, 2047, -2047, 2047, -2047, 2047}));
}

class BoardTest : public ::testing::Test {
 protected:
  uint32_t Send(const Report& r) { return board_.Write(r.data(), r.size()); }
  Report TakeReply() {
    Report r{};
    EXPECT_EQ(board_.TakeReply(r.data(), 0, board_.generation()), static_cast<int>(kReportSize));
    return r;
  }
  bool NoReply() {
    Report r{};
    return board_.TakeReply(r.data(), 0, board_.generation()) == 0;
  }

  FakeClock clock_;
  BoardSimulator board_{clock_};
};

TEST_F(BoardTest, ExecutesOneSegmentPer3MsOfItsClock) {
  const SegmentBytes step = Forward({1, 0, 0, 0, 0, 2});
  ASSERT_EQ(Send(MotionReport({step, step, step, step, step, step, step})), hid_error::kNone);
  EXPECT_EQ(board_.Fill(), 7u);
  clock_.AdvanceMs(2);
  EXPECT_EQ(board_.Counts()[0], 0);
  clock_.AdvanceMs(1);
  EXPECT_EQ(board_.Counts()[0], 1);
  EXPECT_EQ(board_.Fill(), 6u);
  clock_.AdvanceMs(10);  // t = 13: four done
  EXPECT_EQ(board_.Counts(), (ChannelSteps{4, 0, 0, 0, 0, 8}));
  clock_.AdvanceMs(1000);
  EXPECT_EQ(board_.Counts(), (ChannelSteps{7, 0, 0, 0, 0, 14}));
  EXPECT_EQ(board_.Fill(), 0u);
  EXPECT_EQ(board_.Stats().segments_executed, 7u);
}

TEST_F(BoardTest, IdleTimeIsNotBankedForTheNextSegments) {
  clock_.AdvanceMs(500);
  Send(MotionReport({Forward({1, 0, 0, 0, 0, 0})}));
  EXPECT_EQ(board_.Fill(), 7u);
  clock_.AdvanceMs(3);
  EXPECT_EQ(board_.Fill(), 6u);
}

TEST_F(BoardTest, ExecutionSurvivesTickCountWrap) {
  clock_.SetTickCountMs(0xffffffffu - 4);
  BoardSimulator board(clock_);
  Report r = MotionReport({Forward({1, 0, 0, 0, 0, 0}), Forward({1, 0, 0, 0, 0, 0})});
  board.Write(r.data(), r.size());
  clock_.AdvanceMs(6);  // across the wrap
  EXPECT_EQ(board.Counts()[0], 2);
}

TEST_F(BoardTest, StatusReplyLayout) {
  board_.SetCount(0, -100);
  board_.SetCount(5, 0x12345678);
  board_.OverrideInputs(0x80000001u, 0x80000001u);
  Send(MotionReport({}));
  Send(StatusRequestReport(0x1234, 0xa5a5a5a5u, 150, 0x201));
  const Report r = TakeReply();
  EXPECT_EQ(r[0], 0);
  EXPECT_EQ(GetLe(&r[1], 2), 0x1234u);
  EXPECT_EQ(GetLe(&r[3], 2), 7u);  // fill
  EXPECT_EQ(static_cast<int32_t>(GetLe(&r[5], 4)), -100);
  EXPECT_EQ(GetLe(&r[9], 4), 0u);
  EXPECT_EQ(GetLe(&r[25], 4), 0x12345678u);
  EXPECT_EQ(GetLe(&r[29], 4), 0x80000001u);
  const auto request = board_.LastStatusRequest();
  ASSERT_TRUE(request.has_value());
  EXPECT_EQ(request->sequence, 0x1234);
  EXPECT_EQ(request->output_word, 0xa5a5a5a5u);
  EXPECT_EQ(request->spindle, 150);
  EXPECT_EQ(request->axis_mask, 0x201u);
  EXPECT_TRUE(NoReply());
}

TEST_F(BoardTest, SyncQueriesAreEchoedInOrder) {
  Send(CommandReport(26, 7));
  Send(CommandReport(29, 8));
  EXPECT_EQ(GetLe(&TakeReply()[1], 2), 7u);
  EXPECT_EQ(GetLe(&TakeReply()[1], 2), 8u);
  EXPECT_TRUE(NoReply());
}

TEST_F(BoardTest, StartupWordsAreRecorded) {
  Send(CommandReport(1, 0));
  Send(CommandReport(21, 286331153));
  Send(CommandReport(22, 4800));
  Send(CommandReport(25, 24));
  Send(CommandReport(12, 0));
  Send(CommandReport(0, 0));
  EXPECT_EQ(board_.ConfigWord(21), 286331153);
  EXPECT_EQ(board_.ConfigWord(22), 4800);
  EXPECT_EQ(board_.ConfigWord(25), 24);
  EXPECT_EQ(board_.ConfigWord(0), 0);
  EXPECT_FALSE(board_.ConfigWord(19).has_value());
  const auto log = board_.TakePacketLog();
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(log[0].opcode, 1);
  EXPECT_EQ(log[1].opcode, 21);
  EXPECT_EQ(log[1].value, 286331153);
  EXPECT_EQ(log[5].opcode, 0);
  EXPECT_TRUE(board_.TakePacketLog().empty());
  const BoardStats stats = board_.Stats();
  for (int op : {0, 1, 12, 21, 22, 25}) EXPECT_EQ(stats.packets[op], 1u) << op;
  EXPECT_TRUE(NoReply());
}

TEST_F(BoardTest, StopMotionEmptiesTheQueueAndKeepsCounts) {
  const SegmentBytes step = Forward({3, 0, 0, 0, 0, 0});
  Send(MotionReport({step, step, step, step, step, step, step}));
  clock_.AdvanceMs(6);
  Send(CommandReport(19, 0));
  EXPECT_EQ(board_.Fill(), 0u);
  clock_.AdvanceMs(100);
  EXPECT_EQ(board_.Counts()[0], 6);
  EXPECT_EQ(board_.Stats().underruns, 0u);
}

TEST_F(BoardTest, UnderrunOnlyWhenAMotionInProgressStarves) {
  const SegmentBytes step = Forward({1, 0, 0, 0, 0, 0});
  const SegmentBytes rest{};
  // Ends on empty segments, as a finished move does: no underrun.
  Send(MotionReport({step, step, step, rest, rest, rest, rest}));
  clock_.AdvanceMs(100);
  EXPECT_EQ(board_.Stats().underruns, 0u);
  // Seven moving segments and then nothing: the queue ran dry under a moving axis.
  Send(MotionReport({step, step, step, step, step, step, step}));
  clock_.AdvanceMs(100);
  EXPECT_EQ(board_.Stats().underruns, 1u);
  // Fed in time, the queue never runs dry.
  Send(MotionReport({step, step, step, step, step, step, step}));
  clock_.AdvanceMs(18);
  Send(MotionReport({step, step, step, step, step, step, rest}));
  clock_.AdvanceMs(100);
  EXPECT_EQ(board_.Stats().underruns, 1u);
}

TEST(BoardCapacity, HighestFillAndLostSegments) {
  FakeClock clock;
  BoardOptions options;
  options.queue_capacity = 10;
  BoardSimulator board(clock, options);
  const Report r = MotionReport({});
  board.Write(r.data(), r.size());
  board.Write(r.data(), r.size());
  const BoardStats stats = board.Stats();
  EXPECT_EQ(board.Fill(), 10u);
  EXPECT_EQ(stats.highest_fill, 10u);
  EXPECT_EQ(stats.segments_received, 14u);
  EXPECT_EQ(stats.segments_lost, 4u);
}

TEST_F(BoardTest, MalformedPacketsAreCountedAndIgnored) {
  Report unknown = CommandReport(99, 0);
  Report bad_id = StatusRequestReport(5);
  bad_id[0] = 3;
  EXPECT_EQ(Send(unknown), hid_error::kNone);
  EXPECT_EQ(Send(bad_id), hid_error::kNone);
  const Report ok = StatusRequestReport(6);
  EXPECT_EQ(board_.Write(ok.data(), 64), hid_error::kNone);  // short
  EXPECT_EQ(board_.Write(nullptr, 0), hid_error::kNone);
  const BoardStats stats = board_.Stats();
  EXPECT_EQ(stats.malformed, 4u);
  EXPECT_EQ(stats.packets[99], 0u);
  EXPECT_EQ(stats.packets[18], 0u);
  EXPECT_TRUE(NoReply());
  // Still answers a good request afterwards.
  Send(ok);
  EXPECT_EQ(GetLe(&TakeReply()[1], 2), 6u);
}

TEST_F(BoardTest, StalledWritesArePendingAndNotTaken) {
  board_.StallWrites(true);
  EXPECT_EQ(Send(StatusRequestReport(1)), hid_error::kIoPending);
  EXPECT_FALSE(board_.WaitWhileStalled(0, board_.generation(), nullptr));
  EXPECT_TRUE(NoReply());
  board_.StallWrites(false);
  EXPECT_TRUE(board_.WaitWhileStalled(0, board_.generation(), nullptr));
  EXPECT_EQ(Send(StatusRequestReport(2)), hid_error::kNone);
  EXPECT_EQ(GetLe(&TakeReply()[1], 2), 2u);
  EXPECT_EQ(board_.Stats().writes_stalled, 1u);
}

TEST_F(BoardTest, RefusedWritesNTimesThenAccepted) {
  board_.RefuseWrites(hid_error::kGenFailure, 2);
  EXPECT_EQ(Send(StatusRequestReport(1)), hid_error::kGenFailure);
  EXPECT_EQ(Send(StatusRequestReport(2)), hid_error::kGenFailure);
  EXPECT_EQ(Send(StatusRequestReport(3)), hid_error::kNone);
  EXPECT_EQ(GetLe(&TakeReply()[1], 2), 3u);
  board_.RefuseWrites(hid_error::kGenFailure, -1);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(Send(StatusRequestReport(4)), hid_error::kGenFailure);
  board_.ClearFaults();
  EXPECT_EQ(Send(StatusRequestReport(5)), hid_error::kNone);
  EXPECT_EQ(board_.Stats().writes_refused, 52u);
}

TEST_F(BoardTest, DroppedAndDelayedReplies) {
  board_.DropReplies(1);
  Send(StatusRequestReport(1));
  Send(StatusRequestReport(2));
  EXPECT_EQ(GetLe(&TakeReply()[1], 2), 2u);
  EXPECT_EQ(board_.Stats().replies_dropped, 1u);

  board_.DelayReplies(50);
  Send(StatusRequestReport(3));
  clock_.AdvanceMs(49);
  EXPECT_TRUE(NoReply());
  clock_.AdvanceMs(1);
  EXPECT_EQ(GetLe(&TakeReply()[1], 2), 3u);
}

TEST_F(BoardTest, UnplugEndsTheConnectionAndReplugStartsAnother) {
  const uint64_t first = board_.generation();
  Send(MotionReport({}));
  Send(StatusRequestReport(1));
  board_.Unplug();
  Report r{};
  EXPECT_EQ(board_.TakeReply(r.data(), 0, first), -1);
  EXPECT_EQ(Send(StatusRequestReport(2)), hid_error::kDeviceNotConnected);
  EXPECT_EQ(board_.Fill(), 0u);
  board_.Replug();
  EXPECT_NE(board_.generation(), first);
  EXPECT_EQ(board_.TakeReply(r.data(), 0, first), -1);  // the old connection stays ended
  EXPECT_EQ(Send(StatusRequestReport(3)), hid_error::kNone);
  EXPECT_EQ(GetLe(&TakeReply()[1], 2), 3u);
}

TEST_F(BoardTest, MachineSwitchesDriveTheStatusInputWord) {
  MachineModel machine;
  machine.Add({SwitchKind::Limit, 0, SwitchSide::Max, 10, 1, false});
  machine.Add({SwitchKind::Home, 0, SwitchSide::Min, 0, 3, true});
  board_.SetMachine(machine);
  // At 0 the home switch (active-low) pulls pin 3 low; the limit pin is low.
  Send(StatusRequestReport(1));
  EXPECT_EQ(GetLe(&TakeReply()[29], 4), 0u);
  const SegmentBytes step = Forward({2, 0, 0, 0, 0, 0});
  Send(MotionReport({step, step, step, step, step, step, step}));
  clock_.AdvanceMs(15);  // 10 steps out: limit reached, home released
  Send(StatusRequestReport(2));
  EXPECT_EQ(GetLe(&TakeReply()[29], 4), 0b101u);
}

// A board with habits of its own, on a virtual clock.
class BoardHabitsTest : public ::testing::Test {
 protected:
  void Make(const BoardHabits& habits) {
    BoardOptions o;
    o.habits = habits;
    board_ = std::make_unique<BoardSimulator>(clock_, o);
    board_->TakeExecuted();  // keep the records of segments from now on
  }
  uint32_t Send(const Report& r) { return board_->Write(r.data(), r.size()); }
  std::optional<Report> Reply() {
    Report r{};
    if (board_->TakeReply(r.data(), 0, board_->generation()) != static_cast<int>(kReportSize)) {
      return std::nullopt;
    }
    return r;
  }
  static int32_t Count(const Report& r, int c) {
    return static_cast<int32_t>(GetLe(&r[5 + 4 * c], 4));
  }
  static SegmentBytes Steps(uint16_t n) { return Forward({n, n, n, n, n, n}); }
  Report SevenOf(uint16_t n) {
    const SegmentBytes s = Steps(n);
    return MotionReport({s, s, s, s, s, s, s});
  }

  FakeClock clock_;
  std::unique_ptr<BoardSimulator> board_;
};

TEST_F(BoardHabitsTest, ALateReplyShowsTheBoardAsItWasWhenComposed) {
  BoardHabits h;
  h.compose_late_max_ms = 40;
  h.compose_seed = 12345;
  Make(h);
  int showed_later_packet = 0;
  int32_t base = 0;
  for (uint16_t seq = 1; seq <= 30; ++seq) {
    // The request finds the board empty and at rest; a packet of seven one-step segments
    // follows it in the same millisecond.
    ASSERT_EQ(Send(StatusRequestReport(seq)), hid_error::kNone);
    ASSERT_EQ(Send(SevenOf(1)), hid_error::kNone);
    std::optional<Report> r;
    uint32_t waited = 0;
    for (; !(r = Reply()) && waited <= 41; ++waited) clock_.AdvanceMs(1);
    ASSERT_TRUE(r) << "no reply within the longest delay";
    EXPECT_EQ(GetLe(&(*r)[1], 2), seq);
    const auto fill = static_cast<int32_t>(GetLe(&(*r)[3], 2));
    // Composed before the packet: empty, at the old counts. After: the packet, less what ran.
    const int32_t ran = Count(*r, 0) - base;
    EXPECT_TRUE((fill == 0 && ran == 0) || fill + ran == 7) << "fill " << fill << " ran " << ran;
    EXPECT_EQ(ran, std::min<int32_t>(7, static_cast<int32_t>(waited / 3)))
        << "composed as it was sent, not before";
    showed_later_packet += fill > 0;
    // The oracle's log holds what the reply showed.
    const std::optional<StatusSnapshot> shown = board_->StatusFor(seq);
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->counts[0], Count(*r, 0));
    EXPECT_EQ(shown->reported_fill, static_cast<size_t>(fill));
    clock_.AdvanceMs(100);
    base += 7;
  }
  EXPECT_GT(showed_later_packet, 10);
  // A reset before the reply is composed loses it.
  for (uint16_t seq = 100; seq < 110; ++seq) {
    Send(StatusRequestReport(seq));
    if (board_->QueuedReplies() != 0 && Reply()) continue;  // composed at once
    board_->Reset();
    clock_.AdvanceMs(100);
    EXPECT_FALSE(Reply());
  }
}

TEST_F(BoardHabitsTest, TheFillMayLeaveOutTheSegmentInHand) {
  BoardHabits h;
  h.fill_excludes_in_hand = true;
  Make(h);
  Send(SevenOf(1));
  Send(StatusRequestReport(1));
  EXPECT_EQ(GetLe(&Reply().value()[3], 2), 6u);
  EXPECT_EQ(board_->Fill(), 7u);  // the board still holds all seven
  clock_.AdvanceMs(18);           // the last one in hand
  Send(StatusRequestReport(2));
  EXPECT_EQ(GetLe(&Reply().value()[3], 2), 0u);
  EXPECT_EQ(board_->Fill(), 1u);
}

TEST_F(BoardHabitsTest, CountsRunThroughTheSegmentInHandAndAStopCutsIt) {
  BoardHabits h;
  h.counts_step_through = true;
  h.step_rates = {0.5, 1, 1, 1, 1, 0.25};
  Make(h);
  Send(SevenOf(100));
  clock_.AdvanceMs(1);  // a third of the first segment
  EXPECT_EQ(board_->Counts(), (ChannelSteps{66, 33, 33, 33, 33, 100}));
  Send(StatusRequestReport(1));
  const Report r = Reply().value();
  EXPECT_EQ(Count(r, 0), 66);
  EXPECT_EQ(Count(r, 1), 33);
  EXPECT_EQ(board_->StatusFor(1)->whole_counts, ChannelSteps{});
  clock_.AdvanceMs(2);
  EXPECT_EQ(board_->Counts(), (ChannelSteps{100, 100, 100, 100, 100, 100}));
  clock_.AdvanceMs(1);
  Send(CommandReport(kOpStopMotion, 0));
  // What ran of the segment in hand stands, in the counts, the tools and the books.
  EXPECT_EQ(board_->Counts(), (ChannelSteps{166, 133, 133, 133, 133, 200}));
  clock_.AdvanceMs(30);
  EXPECT_EQ(board_->Counts(), (ChannelSteps{166, 133, 133, 133, 133, 200}));
  EXPECT_EQ(board_->Fill(), 0u);
  EXPECT_EQ(board_->Tool().tool()[0], 166);
  const BoardStats st = board_->Stats();
  EXPECT_EQ(st.steps_executed[0], 166);
  EXPECT_EQ(st.steps_stopped[0], 700 - 166);
  const std::vector<ExecutedSegment> left = board_->TakeExecuted();
  ASSERT_EQ(left.size(), 7u);
  EXPECT_EQ(left[0].fate, SegmentFate::kRan);
  EXPECT_EQ(left[1].fate, SegmentFate::kStopped);
  EXPECT_EQ(left[1].ran, (ChannelSteps{66, 33, 33, 33, 33, 100}));
  for (size_t k = 2; k < left.size(); ++k) EXPECT_EQ(left[k].ran, ChannelSteps{});
}

TEST_F(BoardHabitsTest, AStopMayLetTheSegmentInHandFinish) {
  BoardHabits h;
  h.stop_finishes_in_hand = true;
  Make(h);
  Send(SevenOf(10));
  clock_.AdvanceMs(4);  // one run, the second in hand
  Send(CommandReport(kOpStopMotion, 0));
  EXPECT_EQ(board_->Fill(), 1u);
  EXPECT_EQ(board_->Counts()[0], 10);
  clock_.AdvanceMs(2);
  EXPECT_EQ(board_->Counts()[0], 20);
  EXPECT_EQ(board_->Fill(), 0u);
  const BoardStats st = board_->Stats();
  EXPECT_EQ(st.steps_executed[0], 20);
  EXPECT_EQ(st.steps_stopped[0], 50);
  // The one that finished ran as part of the run the stop ended.
  const std::vector<ExecutedSegment> left = board_->TakeExecuted();
  ASSERT_EQ(left.size(), 7u);
  EXPECT_EQ(left.back().fate, SegmentFate::kRan);
  EXPECT_EQ(left.back().stops, 0u);
}

TEST_F(BoardHabitsTest, ChannelsOutsideTheMaskNeverCount) {
  BoardHabits h;
  h.counted_channels = 0x1f;
  Make(h);
  Send(SevenOf(5));
  clock_.AdvanceMs(21);
  EXPECT_EQ(board_->Counts(), (ChannelSteps{35, 35, 35, 35, 35, 0}));
  Send(StatusRequestReport(1));
  EXPECT_EQ(Count(Reply().value(), 5), 0);
}

TEST_F(BoardHabitsTest, SyncRepliesMayOvertakeStatusReplies) {
  for (const bool first : {false, true}) {
    BoardHabits h;
    h.sync_first = first;
    Make(h);
    Send(StatusRequestReport(1));
    Send(StatusRequestReport(2));
    Send(CommandReport(kOpSyncQueryA, 3));
    std::vector<uint32_t> order;
    while (std::optional<Report> r = Reply()) order.push_back(GetLe(&(*r)[1], 2));
    EXPECT_EQ(order, first ? (std::vector<uint32_t>{3, 1, 2}) : (std::vector<uint32_t>{1, 2, 3}));
  }
}

TEST_F(BoardHabitsTest, AnInexactClockStretchesOrShrinksEverySegmentWithoutDrift) {
  for (const int32_t ppm : {50000, -50000, 333}) {
    BoardHabits h;
    h.clock_ppm = ppm;
    Make(h);
    for (int k = 0; k < 143; ++k) Send(SevenOf(1));  // 1001 segments
    // 1001 segments of 3 ms × (1 + ppm / 1e6), counted one millisecond at a time.
    const int64_t end_us = 1001LL * (3000 + 3 * ppm / 1000);
    for (int64_t ms = 1; ms <= end_us / 1000 + 1; ++ms) {
      clock_.AdvanceMs(1);
      EXPECT_EQ(board_->Counts()[0], std::min<int64_t>(1001, ms * 1000 / (3000 + 3 * ppm / 1000)))
          << "ppm " << ppm << " at " << ms << " ms";
      if (::testing::Test::HasFailure()) return;
    }
  }
}

}  // namespace
}  // namespace vaskel::sim
