// The board's status replies: alignment, sign and channel mapping, the backlash window, the
// planner's need for data, resynchronisation and replies that make no sense.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "device_test_support.h"

namespace vaskel::testing {
namespace {

class StatusReplyTest : public ::testing::Test {
 protected:
  // The replies here move counts that no segment moved.
  StatusReplyTest() { h.link().set_judge_counts_for_test(false); }
  void Reply(uint16_t fill, const std::array<int32_t, 6>& counts, uint32_t inputs = 0,
             size_t size = kReportSize) {
    const std::vector<uint8_t> r = StatusReply(1, fill, counts, inputs);
    h.link().OnStatusReply(r.data() + 3, size - 3);
  }
  int32_t Position(size_t axis) const { return engine().Get(engine::kAxisPosition[axis]); }
  const HostBlock& engine() const { return h.host().engine; }
  bool NeedsData() const { return h.host().planner.Get(planner::kDeviceNeedsData); }
  BacklashQueue& backlash() { return h.ctx->motion().backlash_queue(); }

  LinkHarness h;
};

TEST_F(StatusReplyTest, FirstReplyAlignsAndLaterRepliesMoveThePositions) {
  engine().Set(engine::kAxisPosition[0], 5000);
  Reply(0, {100, 0, 0, 0, 0, 0}, 0xA5);
  EXPECT_TRUE(h.link().link_running());
  EXPECT_EQ(h.link().axis_offset(0), 4900);
  EXPECT_EQ(Position(0), 5000);
  EXPECT_EQ(h.link().input_word(), 0xA5u);
  EXPECT_EQ(h.StatusText(), "vaskel device is connnected to your computer!");
  Reply(0, {150, 0, 0, 0, 0, 0});
  EXPECT_EQ(Position(0), 5050);
  EXPECT_EQ(h.link().board_count(0), 150);
}

// Counts that move with nothing sent to move them are the board's own (a handwheel): the DRO
// follows them. Only the board's power-up counts, every channel back at 0, are a reset, and
// one such reply is not believed (a garbled one) until the next bears it out.
TEST_F(StatusReplyTest, CountsThatMoveAtRestAreFollowedAndOnlyAJumpToZeroIsAReset) {
  h.link().set_judge_counts_for_test(true);
  for (size_t a = 0; a < 6; ++a) engine().Set(engine::kAxisReferenced[a], true);
  Reply(0, {100, 0, 0, 0, 0, 0});
  Reply(0, {100, 0, 0, 0, 0, 0});
  Reply(0, {7, 0, 0, 0, 0, 0});
  EXPECT_EQ(Position(0), -93);
  Reply(0, {9, 0, 3, 0, 0, 0});
  EXPECT_EQ(Position(0), -91);
  EXPECT_EQ(Position(2), 3);
  EXPECT_EQ(h.link().position_lost_resyncs(), 0u);
  Reply(0, {0, 0, 0, 0, 0, 0});
  EXPECT_EQ(h.link().position_lost_resyncs(), 0u);
  EXPECT_TRUE(engine().Get(engine::kAxisReferenced[0]));
  EXPECT_EQ(Position(0), -91);
  Reply(0, {0, 0, 0, 0, 0, 0});
  EXPECT_EQ(h.link().position_lost_resyncs(), 1u);
  EXPECT_EQ(h.StatusText(), DeviceLink::kBoardLostPositionText);
  for (size_t a = 0; a < 6; ++a) EXPECT_FALSE(engine().Get(engine::kAxisReferenced[a])) << a;
  EXPECT_EQ(Position(0), -91);  // where the last counts borne out left it
  EXPECT_EQ(Position(2), 3);
}

TEST_F(StatusReplyTest, OffsetsWrapAroundLikeThirtyTwoBitWords) {
  engine().Set(engine::kAxisPosition[2], std::numeric_limits<int32_t>::max());
  Reply(0, {0, 0, -10, 0, 0, 0});
  EXPECT_EQ(h.link().axis_offset(2), std::numeric_limits<int32_t>::min() + 9);
  Reply(0, {0, 0, -9, 0, 0, 0});
  EXPECT_EQ(Position(2), std::numeric_limits<int32_t>::min());
}

TEST_F(StatusReplyTest, ReversedAxisIsNegatedAndMarksPositionsChangedOnce) {
  engine().Set(engine::kAxisReversed[1], true);
  Reply(0, {0, 10, 0, 0, 0, 0});
  EXPECT_EQ(h.link().board_count(1), -10);
  EXPECT_TRUE(engine().Get(engine::kPositionsChanged));
  engine().Set(engine::kPositionsChanged, false);
  Reply(0, {0, 10, 0, 0, 0, 0});
  EXPECT_FALSE(engine().Get(engine::kPositionsChanged));
  engine().Set(engine::kAxisReversed[1], false);
  Reply(0, {0, 10, 0, 0, 0, 0});
  EXPECT_TRUE(engine().Get(engine::kPositionsChanged));
  EXPECT_EQ(h.link().board_count(1), 10);
}

TEST_F(StatusReplyTest, NegatingTheMostNegativeCountDoesNotOverflow) {
  engine().Set(engine::kAxisReversed[0], true);
  Reply(0, {std::numeric_limits<int32_t>::min(), 0, 0, 0, 0, 0});
  EXPECT_EQ(h.link().board_count(0), std::numeric_limits<int32_t>::min());
}

TEST_F(StatusReplyTest, ChannelsThreeAndFourMapOntoAxesThreeToFive) {
  const std::array<int32_t, 6> counts = {0, 0, 0, 33, 44, 55};
  struct Case {
    bool a3, a4, a5;
    int32_t e3, e4, e5;
  };
  for (const Case& c : {Case{false, true, true, 33, 33, 33}, Case{true, true, true, 33, 44, 0},
                        Case{true, false, true, 33, 0, 44}, Case{true, false, false, 33, 44, 55}}) {
    engine().Set(engine::kAxisEnabled[3], c.a3);
    engine().Set(engine::kAxisEnabled[4], c.a4);
    engine().Set(engine::kAxisEnabled[5], c.a5);
    Reply(0, counts);
    EXPECT_EQ(h.link().board_count(3), c.e3);
    EXPECT_EQ(h.link().board_count(4), c.e4);
    EXPECT_EQ(h.link().board_count(5), c.e5);
  }
}

// SegmentsSent is 0 here, so the markers sit just below the 32-bit wrap: executed is
// SegmentsSent - fill, compared unsigned (1000/1020 with 1030 sent, shifted by -1030).
// A reply behind several take-ups retires them all and moves the DRO at once: held back a
// reply per take-up, the DRO would be taken for the machine's position by an alignment if the
// link dropped before the next reply.
TEST_F(StatusReplyTest, BacklashWindowFreezesThenRetiresEveryRecordThePositionsPassed) {
  Reply(0, {});  // align
  BacklashQueue& q = backlash();
  q.records[0].start_marker = 1000u - 1030u;
  q.records[0].end_marker = 1020u - 1030u;
  q.records[0].correction[0] = 7;
  q.records[1].start_marker = 1021u - 1030u;
  q.records[1].end_marker = 1022u - 1030u;
  q.records[1].correction[0] = -3;
  q.records[2].start_marker = 1028u - 1030u;
  q.records[2].end_marker = 0;  // still being generated
  q.open_index = 3;

  Reply(31, {10, 0, 0, 0, 0, 0});  // executed 999: before the take-up
  EXPECT_EQ(Position(0), 10);
  Reply(20, {20, 0, 0, 0, 0, 0});  // executed 1010: inside it
  EXPECT_EQ(Position(0), 10);
  Reply(5, {30, 0, 0, 0, 0, 0});  // executed 1025: behind both, before the third
  EXPECT_EQ(h.link().axis_offset(0), 4);
  EXPECT_EQ(q.retire_index.load(), 2u);
  EXPECT_EQ(Position(0), 34);
  Reply(1, {40, 0, 0, 0, 0, 0});  // executed 1029: inside the third
  EXPECT_EQ(Position(0), 34);
  EXPECT_EQ(q.retire_index.load(), 2u);
}

TEST_F(StatusReplyTest, RecordStillRunningFreezesThePositions) {
  Reply(0, {});
  BacklashQueue& q = backlash();
  q.records[0].start_marker = 0xFFFFFF00u;
  q.records[0].end_marker = 0;
  q.open_index = 1;
  Reply(1, {500, 0, 0, 0, 0, 0});  // executed 0xFFFFFFFF: far past the start
  EXPECT_EQ(Position(0), 0);
  EXPECT_EQ(q.retire_index.load(), 0u);
}

TEST_F(StatusReplyTest, NeedsDataBelowTheBufferLimit) {
  Reply(65, {});
  EXPECT_TRUE(NeedsData());
  Reply(66, {});
  EXPECT_FALSE(NeedsData());
  EXPECT_EQ(h.link().NeedsDataLimit(), 66);
  h.ctx->settings().device_buffer = 300;
  EXPECT_EQ(h.link().NeedsDataLimit(), 100);
  Reply(99, {});
  EXPECT_TRUE(NeedsData());
  Reply(100, {});
  EXPECT_FALSE(NeedsData());
  h.ctx->settings().device_buffer = 1000;
  EXPECT_EQ(h.link().NeedsDataLimit(), 333);
}

TEST_F(StatusReplyTest, LimitSurvivesRoundingAndABadPeriod) {
  const HostBlock& planner = h.host().planner;
  h.ctx->settings().device_buffer = 300;
  // A hair over 3 ms: 99.99999999999999 segments, truncated like every conversion.
  planner.Set(planner::kSegmentPeriod, std::nextafter(0.003, 1.0));  // 0.0030000000000000005
  EXPECT_EQ(h.link().NeedsDataLimit(), 99);
  planner.Set(planner::kSegmentPeriod, 0.003);  // exactly 100 in double
  EXPECT_EQ(h.link().NeedsDataLimit(), 100);
  planner.Set(planner::kSegmentPeriod, 0.0);  // the plug-in's own period applies
  EXPECT_EQ(h.link().NeedsDataLimit(), 100);
  planner.Set(planner::kSegmentPeriod, std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(h.link().NeedsDataLimit(), 100);
  planner.Set(planner::kSegmentPeriod, -1.0);
  EXPECT_EQ(h.link().NeedsDataLimit(), 100);
  planner.Set(planner::kSegmentPeriod, 1e-300);
  EXPECT_EQ(h.link().NeedsDataLimit(), std::numeric_limits<int32_t>::max());
}

// The resynchronising reply measures what the board held; the rewind waits for the counts
// after the start-up stop, and nothing is aligned or moved meanwhile.
TEST_F(StatusReplyTest, ResynchronisingReplyOnlyMeasures) {
  // Close after 21 failed writes, so a resynchronisation is due.
  h.UpdateAndPump();
  h.board.QueueWriteResults(hid_error::kGenFailure, 21);
  h.link().SendCommand(kOpConfigOptionA, 0);
  h.Pump();
  ASSERT_TRUE(h.link().resync_pending());
  engine().Set(engine::kAxisPosition[0], 1234);

  Reply(17, {99, 0, 0, 0, 0, 0}, 0xFF);
  EXPECT_FALSE(h.link().resync_pending());
  EXPECT_FALSE(h.link().link_running());
  EXPECT_EQ(h.link().device_fill(), 17);
  EXPECT_TRUE(h.link().rewind_owed_for_test());
  EXPECT_EQ(h.link().rewind_count(), 0u);
  EXPECT_EQ(Position(0), 1234);
  EXPECT_EQ(h.link().input_word(), 0u);  // the rest of the reply is not used
  EXPECT_EQ(h.link().board_count(0), 0);
}

// A board whose queue holds a full segment ring (the simulator's own limit) or reports any other
// 16-bit fill is still a board: the link aligns, the positions move, the room test says full
// and the input scan (the limit trip) runs.
TEST_F(StatusReplyTest, AnySixteenBitFillIsAStatus) {
  engine().Set(engine::kAxisPosition[0], 10);
  Reply(4096, {1, 0, 0, 0, 0, 0}, 0x3);
  EXPECT_TRUE(h.link().link_running());
  EXPECT_EQ(h.link().device_fill(), 4096);
  EXPECT_FALSE(NeedsData());
  Reply(0xFFFF, {5, 0, 0, 0, 0, 0}, 0x6);
  EXPECT_EQ(h.link().device_fill(), 0xFFFF);
  EXPECT_EQ(Position(0), 14);
  EXPECT_EQ(h.link().input_word(), 0x6u);
  EXPECT_FALSE(NeedsData());
  Reply(65, {5, 0, 0, 0, 0, 0});
  EXPECT_TRUE(NeedsData());
  EXPECT_EQ(h.link().rejected_replies(), 0u);

  // A resynchronising fill more than the board was ever sent is no measurement: nothing is
  // rewound by it, and the program stops as for a board that lost its position.
  h.link().CloseDevice();
  h.UpdateAndPump();
  h.board.QueueWriteResults(hid_error::kGenFailure, 21);
  h.link().SendCommand(kOpConfigOptionA, 0);
  h.Pump();
  ASSERT_TRUE(h.link().resync_pending());
  const uint32_t rewinds = h.link().rewind_count();
  Reply(0xFFFF, {});
  EXPECT_EQ(h.link().rewind_count(), rewinds);
  EXPECT_EQ(h.link().position_lost_resyncs(), 1u);
  EXPECT_FALSE(h.link().resync_pending());
}

TEST_F(StatusReplyTest, ShortOrNonsenseRepliesChangeNothing) {
  engine().Set(engine::kAxisPosition[0], 5);
  Reply(0, {1, 0, 0, 0, 0, 0});
  Reply(3, {2, 0, 0, 0, 0, 0});
  ASSERT_EQ(Position(0), 6);

  Reply(9, {50, 0, 0, 0, 0, 0}, 0xFFFF, 32);  // one byte short of the input word
  EXPECT_EQ(h.link().rejected_replies(), 1u);
  EXPECT_EQ(h.link().device_fill(), 3);
  EXPECT_EQ(Position(0), 6);
  EXPECT_EQ(h.link().board_count(0), 2);
  EXPECT_EQ(h.link().input_word(), 0u);

  // Through the dispatcher: a two-byte status reply is taken off the table and ignored.
  h.link().SendStatusRequest();
  const uint8_t stub[5] = {0, 1, 0, 9, 0};
  h.link().HandleReport(stub, sizeof stub);
  EXPECT_EQ(h.link().pending_replies().pending(), 0);
  EXPECT_EQ(h.link().device_fill(), 3);
}

}  // namespace
}  // namespace vaskel::testing
