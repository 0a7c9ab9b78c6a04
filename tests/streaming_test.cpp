#include <gtest/gtest.h>

#include <cstdint>

#include "motion_fixture.h"
#include "sim/board/segment_decode.h"

namespace vaskel::testing {
namespace {

using Streaming = MotionTest;

TEST_F(Streaming, FewerThanSevenWithoutFlushSendNothing) {
  PushHost(6);
  motion().MotionStep();
  EXPECT_TRUE(TakePackets().empty());
  EXPECT_EQ(HostPending(), 6);
  EXPECT_EQ(motion().SegmentsSent(), 0u);
}

// Exactly seven entries: one full packet. A stream that goes on is not padded (an empty
// packet would stand the machine still mid-contour); the host's flush ends it, and the
// empty packet follows then.
TEST_F(Streaming, ExactlySevenPadOnlyOnceTheStreamEnds) {
  PushHost(7);
  motion().MotionStep();
  auto packets = TakePackets();
  ASSERT_EQ(packets.size(), 1u);
  for (int k = 0; k < 7; ++k) EXPECT_EQ(Axis0Steps(packets[0], k), k + 1);
  EXPECT_EQ(HostPending(), 0);
  motion().MotionStep();
  EXPECT_TRUE(TakePackets().empty());
  planner().Set(planner::kFlushPartial, true);
  motion().MotionStep();
  packets = TakePackets();
  ASSERT_EQ(packets.size(), 1u);
  for (int k = 0; k < 7; ++k) EXPECT_TRUE(SegmentIsEmpty(packets[0], k));
  EXPECT_EQ(packets[0][0], kOpMotion);
  EXPECT_EQ(motion().SegmentsSent(), 14u);
}

TEST_F(Streaming, PendingCountsLimitPacketsAndPassSize) {
  PushHost(13);
  motion().MotionStep();
  EXPECT_EQ(TakePackets().size(), 1u);
  EXPECT_EQ(HostPending(), 6);

  PushHost(24, 100);  // 30 pending now
  motion().MotionStep();
  const auto packets = TakePackets();
  ASSERT_EQ(packets.size(), 4u);  // at most four per pass, no empty packet: two stay
  EXPECT_EQ(HostPending(), 2);
  EXPECT_EQ(Axis0Steps(packets[0], 0), 8);  // the six left over go first
  EXPECT_EQ(motion().SegmentsSent(), 35u);
}

TEST_F(Streaming, FlushPartialSendsFourPacketsFromThreeEntries) {
  planner().Set(planner::kFlushPartial, true);
  PushHost(3);
  motion().MotionStep();
  const auto packets = TakePackets();
  ASSERT_EQ(packets.size(), 4u);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(Axis0Steps(packets[0], k), k + 1);
  for (int k = 3; k < 7; ++k) EXPECT_TRUE(SegmentIsEmpty(packets[0], k));
  for (size_t p = 1; p < 4; ++p) {
    for (int k = 0; k < 7; ++k) EXPECT_TRUE(SegmentIsEmpty(packets[p], k));
  }
  EXPECT_EQ(motion().SegmentsSent(), 28u);
}

TEST_F(Streaming, HostIndicesOutsideTheRingAreMasked) {
  const size_t last = planner::kTrajRingBase + planner::kSegmentRecordSize * 4095;
  planner().Store<double>(last + 8 * 4, 5.0);
  engine().Set(engine::kTrajConsumerIndex, INT32_MAX);  // slot 4095
  engine().Set(engine::kTrajProducerIndex, INT32_MIN);  // slot 0: one entry
  planner().Set(planner::kFlushPartial, true);
  motion().MotionStep();
  const auto packets = TakePackets();
  ASSERT_EQ(packets.size(), 4u);
  EXPECT_EQ(Axis0Steps(packets[0], 0), 5);
  EXPECT_TRUE(SegmentIsEmpty(packets[0], 1));
  EXPECT_EQ(engine().Get(engine::kTrajConsumerIndex), 0);
}

TEST_F(Streaming, NothingWithoutDeviceNeedsDataOrFromASuspendedSource) {
  PushHost(14);
  planner().Set(planner::kDeviceNeedsData, false);
  motion().MotionStep();
  EXPECT_TRUE(TakePackets().empty());

  planner().Set(planner::kDeviceNeedsData, true);
  motion().set_source_suspended(kHostTrajectory, true);
  motion().MotionStep();
  EXPECT_TRUE(TakePackets().empty());
  EXPECT_EQ(HostPending(), 14);
}

TEST_F(Streaming, CopiesTheTagOfTheNextUnsentSlot) {
  for (size_t slot = 0; slot < 20; ++slot) {
    engine().Set(engine::kSegmentTag[slot], static_cast<int32_t>(1000 + slot));
  }
  PushHost(10);
  motion().MotionStep();
  EXPECT_EQ(engine().Get(engine::kCurrentSegmentTag), 1007);
}

TEST_F(Streaming, WrapsTheHostRingAtSlot4095) {
  engine().Set(engine::kTrajProducerIndex, 4093);
  engine().Set(engine::kTrajConsumerIndex, 4093);
  engine().Set(engine::kSegmentTag[4], int32_t{77});
  PushHost(7);
  motion().MotionStep();
  const auto packets = TakePackets();
  ASSERT_FALSE(packets.empty());
  for (int k = 0; k < 7; ++k) EXPECT_EQ(Axis0Steps(packets[0], k), k + 1);
  EXPECT_EQ(engine().Get(engine::kTrajConsumerIndex), 4);
  EXPECT_EQ(engine().Get(engine::kCurrentSegmentTag), 77);
}

TEST_F(Streaming, WildHostIndicesAreMasked) {
  // A host that never masks its producer index still streams slot by slot.
  engine().Set(engine::kTrajProducerIndex, 4096 * 3 + 7);
  for (int i = 0; i < 7; ++i) {
    planner().Store<double>(planner::kTrajRingBase + planner::kSegmentRecordSize * i + 32, 3.0);
  }
  motion().MotionStep();
  const auto packets = TakePackets();
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(Axis0Steps(packets[0], 6), 3);
  EXPECT_EQ(engine().Get(engine::kTrajConsumerIndex), 7);
}

TEST_F(Streaming, DiscardMovesBothIndicesPastTheChunk) {
  engine().Set(engine::kTrajProducerIndex, 4000);
  engine().Set(engine::kTrajConsumerIndex, 3900);
  motion().DiscardHostTrajectory();
  EXPECT_EQ(engine().Get(engine::kTrajProducerIndex), 160);
  EXPECT_EQ(engine().Get(engine::kTrajConsumerIndex), 160);
}

TEST_F(Streaming, RewindGoesBackByTheSourceEntriesAmongTheLostSegments) {
  // 10 entries: one full packet, then three with four padding slots, then two empty packets.
  planner().Set(planner::kFlushPartial, true);
  PushHost(10);
  motion().MotionStep();
  ASSERT_EQ(TakePackets().size(), 4u);
  ASSERT_EQ(engine().Get(engine::kTrajConsumerIndex), 10);
  // The last 21 segments hold entries 8..10: padding is no entry to send again.
  motion().RewindSelectedSource(21);
  EXPECT_EQ(engine().Get(engine::kTrajConsumerIndex), 7);
  motion().ResetSegmentsSent();

  // A fill no board could have goes no further back than what was streamed since.
  motion().MotionStep();
  ASSERT_EQ(TakePackets().size(), 4u);
  ASSERT_EQ(engine().Get(engine::kTrajConsumerIndex), 10);
  motion().RewindSelectedSource(0xffff);
  EXPECT_EQ(engine().Get(engine::kTrajConsumerIndex), 7);

  // Only the selected source goes back.
  motion().SelectSource(kJogRing);
  motion().RewindSelectedSource(30);
  EXPECT_EQ(motion().ramps().jog_ring().consumer.load(), 0);
  EXPECT_EQ(engine().Get(engine::kTrajConsumerIndex), 7);
}

TEST_F(Streaming, StreamsTheJogRingWhenSelected) {
  motion().SelectSource(kJogRing);
  SegmentRing& ring = motion().ramps().jog_ring();
  for (int i = 0; i < 7; ++i) ring.records[static_cast<size_t>(i)][4] = -2.0;
  ring.producer.store(7);
  PushHost(7);  // not the current source: untouched
  motion().StreamSegments();
  const auto packets = TakePackets();
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(Axis0Steps(packets[0], 0), 2);
  EXPECT_EQ(packets[0][2] & 0x80, 0x80);  // negative
  EXPECT_EQ(ring.consumer.load(), 7);
  EXPECT_EQ(HostPending(), 7);
}

TEST_F(Streaming, ClippedCountIsSentAtTheLimitAndReportedOnce) {
  PushHostCounts({5000, 0, 0, 0, 0, 0});
  PushHost(6);
  motion().MotionStep();
  auto packets = TakePackets();
  ASSERT_FALSE(packets.empty());
  EXPECT_EQ(Axis0Steps(packets[0], 0), 2047);
  EXPECT_EQ(packets[0][2] & 0x80, 0);
  EXPECT_EQ(motion().clipped_segments(), 1u);
  EXPECT_EQ(StatusText(), MotionEngine::kClippedText);

  ctx.messages().SetStatusText("other");
  PushHostCounts({-3000, 0, 0, 0, 0, 0});
  PushHost(6);
  motion().MotionStep();
  EXPECT_EQ(motion().clipped_segments(), 2u);
  EXPECT_EQ(StatusText(), "other");
}

TEST_F(Streaming, EmptyMotionPacketCarriesTheSharedDirectionBit) {
  PushHostCounts({-1, 0, 0, 0, 0, 0});
  PushHost(6);
  motion().MotionStep();
  const auto packets = TakePackets();
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(motion().shared_direction_bit(), 0);  // the last entry moved axis 0 positive
  motion().SendEmptyMotionPacket();
  PushHostCounts({-1, 0, 0, 0, 0, 0});
  planner().Set(planner::kFlushPartial, true);
  motion().MotionStep();
  const auto more = TakePackets();
  ASSERT_EQ(more.size(), 5u);
  const uint8_t expected[9] = {0, 0x88, 0, 0, 0x88, 0, 0, 0x88, 0};
  EXPECT_TRUE(std::equal(expected, expected + 9, more[1].data() + 1 + 9));
}

// The encoder takes its configuration from the host's own fields, read through the blocks the
// host lends: a reversed axis, a disabled axis of 3..5 and a slave sending its master's count.
TEST_F(Streaming, EncodingFollowsTheHostsAxisFields) {
  engine().Set(engine::kAxisReversed[1], true);
  engine().Set(engine::kAxisEnabled[3], false);
  engine().Set(engine::kAxisSlaved[5], true);
  engine().Set(engine::kAxisSlaveMaster[5], 0);
  planner().Set(planner::kFlushPartial, true);
  PushHostCounts({5, 7, 0, 9, 4, 2});
  motion().MotionStep();
  const std::vector<Packet> packets = TakePackets();
  ASSERT_FALSE(packets.empty());
  const std::array<uint16_t, 6> f = sim::SegmentFields(packets[0].data() + 1);
  EXPECT_EQ(f[0], 5);
  EXPECT_EQ(f[1], 2048 + 7);  // reversed: a positive count goes out with the direction bit
  EXPECT_EQ(f[2], 0);
  EXPECT_EQ(f[3], 4);  // axis 3 is off: channel 3 carries axis 4, channel 4 axis 5
  EXPECT_EQ(f[4], 2);
  EXPECT_EQ(f[5], 5);  // axis 5 follows axis 0
}

}  // namespace
}  // namespace vaskel::testing
