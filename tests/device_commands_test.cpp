// Packet shapes, sequence numbers, the pending-reply table, reply dispatch and the rings.
#include <gtest/gtest.h>

#include <cstring>

#include "device/little_endian.h"
#include "device_test_support.h"

namespace vaskel::testing {
namespace {

ReplyHandler Counting(int* calls) {
  return {[](void* user, const uint8_t*, size_t) { ++*static_cast<int*>(user); }, calls};
}

TEST(SequenceCounter, RunsFrom16383BackTo1AndNeverHits0) {
  SequenceCounter s;
  EXPECT_EQ(s.value(), 1);
  s.Set(16383);
  s.Next();
  EXPECT_EQ(s.value(), 1);
  s.Set(0x4000);  // masked to 0
  EXPECT_EQ(s.value(), 1);
}

TEST(LittleEndian, ReadsAndWritesFieldsLowByteFirst) {
  uint8_t bytes[4];
  WriteLittleEndian(bytes, 2, 0x1234);
  EXPECT_EQ(bytes[0], 0x34);
  EXPECT_EQ(bytes[1], 0x12);
  const uint8_t negative[4] = {0xfe, 0xff, 0xff, 0xff};
  int32_t v = 0;
  EXPECT_EQ(ReadLittleEndian(negative, 4, v), negative + 4);
  EXPECT_EQ(v, -2);
  uint32_t u = 0;
  ReadLittleEndian(negative, 2, u);
  EXPECT_EQ(u, 0xfffeu);
}

TEST(PendingReplyTable, AFullTableGivesUpItsOldestAndTheLowestFreeEntryIsReused) {
  PendingReplyTable table;
  int calls = 0;
  for (int32_t s = 1; s <= 1023; ++s) ASSERT_TRUE(table.RegisterReply(s, Counting(&calls)));
  // A board that answered nothing for 1023 requests has lost the oldest one's reply: it makes
  // room, so the newest request is the one a reply can still find.
  ASSERT_TRUE(table.RegisterReply(4000, Counting(&calls)));
  EXPECT_EQ(table.pending(), 1023);
  EXPECT_EQ(table.IndexOf(1), 0);
  EXPECT_EQ(table.IndexOf(4000), 1);
  EXPECT_EQ(table.evicted(), 1u);
  ASSERT_TRUE(table.TakeReplyHandler(4000));  // every older entry goes with it
  EXPECT_EQ(table.pending(), 0);

  for (int32_t s = 1; s <= 1023; ++s) ASSERT_TRUE(table.RegisterReply(s, Counting(&calls)));
  ASSERT_TRUE(table.TakeReplyHandler(1));
  ASSERT_TRUE(table.TakeReplyHandler(2));
  EXPECT_FALSE(table.TakeReplyHandler(2));
  ASSERT_TRUE(table.RegisterReply(5000, Counting(&calls)));
  EXPECT_EQ(table.IndexOf(5000), 1);
  ASSERT_TRUE(table.RegisterReply(5001, Counting(&calls)));
  EXPECT_EQ(table.IndexOf(5001), 2);
  ASSERT_TRUE(table.RegisterReply(5002, Counting(&calls)));  // 3 made room
  EXPECT_EQ(table.IndexOf(5002), 3);
  EXPECT_EQ(table.IndexOf(3), 0);
  // The board answers in order: a reply retires every older request, whose replies were lost.
  ASSERT_TRUE(table.TakeReplyHandler(300));
  EXPECT_EQ(table.pending(), 1023 - 297);  // 4..300 gone; 301..1023 and 5000..5002 left
  EXPECT_EQ(table.IndexOf(299), 0);
  EXPECT_EQ(table.IndexOf(301), 301);
  EXPECT_FALSE(table.TakeReplyHandler(7));
  EXPECT_EQ(table.pending(), 1023 - 297);
}

TEST(PendingReplyTable, EqualSequenceNumbersAreTakenOldestFirst) {
  PendingReplyTable table;
  int older = 0, younger = 0, other = 0;
  ASSERT_TRUE(table.RegisterReply(9, Counting(&other)));
  ASSERT_TRUE(table.RegisterReply(7, Counting(&older)));
  ASSERT_TRUE(table.RegisterReply(7, Counting(&younger)));
  table.TakeReplyHandler(7)(nullptr, 0);
  EXPECT_EQ(older, 1);
  EXPECT_EQ(younger, 0);
  // The freed entry is reused and goes to the end of the list.
  ASSERT_TRUE(table.RegisterReply(7, Counting(&other)));
  table.TakeReplyHandler(7)(nullptr, 0);
  EXPECT_EQ(younger, 1);
  // 9 was asked before the first 7 and lost its reply; only the last 7 is left.
  EXPECT_EQ(table.IndexOf(9), 0);
  EXPECT_EQ(table.pending(), 1);
}

TEST(PendingReplyTable, AReplyRetiresOnlyOlderRequestsOfItsOwnKind) {
  PendingReplyTable table;
  int status = 0, sync = 0;
  constexpr uint8_t kStatus = 18, kSync = 26;
  ASSERT_TRUE(table.RegisterReply(1, Counting(&status), kStatus));
  ASSERT_TRUE(table.RegisterReply(2, Counting(&sync), kSync));
  ASSERT_TRUE(table.RegisterReply(3, Counting(&status), kStatus));
  ASSERT_TRUE(table.RegisterReply(4, Counting(&sync), kSync));
  // A board that answers its queries at once, ahead of the status requests before them.
  table.TakeReplyHandler(4)(nullptr, 0);
  EXPECT_EQ(sync, 1);
  EXPECT_EQ(table.IndexOf(2), 0);  // the query before it lost its reply
  table.TakeReplyHandler(1)(nullptr, 0);
  table.TakeReplyHandler(3)(nullptr, 0);
  EXPECT_EQ(status, 2);
  EXPECT_EQ(table.pending(), 0);
  // The list stays whole: new entries append and are found.
  ASSERT_TRUE(table.RegisterReply(5, Counting(&status), kStatus));
  ASSERT_TRUE(table.TakeReplyHandler(5));
  EXPECT_EQ(table.pending(), 0);
}

TEST(PendingReplyTable, SequenceZeroIsRefused) {
  PendingReplyTable table;
  int calls = 0;
  EXPECT_FALSE(table.RegisterReply(0, Counting(&calls)));
  EXPECT_EQ(table.pending(), 0);
  EXPECT_FALSE(table.TakeReplyHandler(0));
}

TEST(Commands, StatusRequestFieldsAreLittleEndian) {
  LinkHarness h;
  const HostBlock& engine = h.host().engine;
  engine.Set(engine::kAxisFlagB[0], true);
  h.ctx->spindle().set_value(0x12345);
  h.link().set_sequence_counter(0x1234);
  h.link().SendStatusRequest();
  const uint8_t* p = h.link().send_ring().SlotAt(0);
  EXPECT_EQ(p[0], kOpStatusRequest);
  EXPECT_EQ(p[1], 0x34);
  EXPECT_EQ(p[2], 0x12);
  EXPECT_EQ(p[7], 0x45);  // low 16 bits of the spindle value
  EXPECT_EQ(p[8], 0x23);
  uint32_t mask = 0;
  ReadLittleEndian(p + 9, 4, mask);
  EXPECT_EQ(mask, 0x001u);
  EXPECT_EQ(h.link().sequence_counter(), 0x1235);
  EXPECT_EQ(h.link().pending_replies().IndexOf(0x1234), 1);

  engine.Set(engine::kAxisFlagB[0], false);
  engine.Set(engine::kAxisFlagA[4], true);
  engine.Set(engine::kAxisFlagA[5], true);  // axis 5 is not represented
  h.link().SendStatusRequest();
  ReadLittleEndian(h.link().send_ring().SlotAt(1) + 9, 4, mask);
  EXPECT_EQ(mask, 0x200u);
}

TEST(Commands, EmptyMotionPacketIsOpcodeAndZeros) {
  LinkHarness h;
  std::memset(h.link().send_ring().CurrentWriteSlot(), 0xAB, PacketRing::kSlotSize);
  uint8_t* body = h.link().BeginMotionPacket();
  EXPECT_EQ(body, h.link().send_ring().CurrentWriteSlot() + 1);
  h.link().CommitPacket();
  const uint8_t* p = h.link().send_ring().SlotAt(0);
  EXPECT_EQ(p[0], kOpMotionSegments);
  for (int i = 1; i < 64; ++i) EXPECT_EQ(p[i], 0) << i;
}

TEST(Commands, SimpleCommandCarriesItsValueLittleEndian) {
  LinkHarness h;
  h.link().SendCommand(kOpSetStepClock, -2);
  const uint8_t* p = h.link().send_ring().SlotAt(0);
  EXPECT_EQ(p[0], kOpSetStepClock);
  EXPECT_EQ(p[1], 0xfe);
  EXPECT_EQ(p[4], 0xff);
  EXPECT_EQ(h.link().send_ring().count(), 1);
}

TEST(Dispatch, RepliesWithoutAnEntryOrTooShortAreDropped) {
  LinkHarness h;
  int calls = 0;
  h.link().pending_replies().RegisterReply(0x0102, Counting(&calls));
  const uint8_t unknown[kReportSize] = {0, 0x05, 0x01};
  h.link().HandleReport(unknown, sizeof unknown);
  const uint8_t too_short[2] = {0, 0x02};
  h.link().HandleReport(too_short, sizeof too_short);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(h.link().pending_replies().pending(), 1);
  const uint8_t answer[3] = {0, 0x02, 0x01};
  h.link().HandleReport(answer, sizeof answer);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(h.link().pending_replies().pending(), 0);
  EXPECT_EQ(h.link().receive_ring().count(), 0);
}

TEST(PacketRing, EmptyTakeChangesNothingAndIndicesWrapAt2048) {
  auto ring = std::make_unique<PacketRing>();
  EXPECT_EQ(ring->Take(), nullptr);
  EXPECT_EQ(ring->read_index(), 0);
  EXPECT_EQ(ring->count(), 0);
  for (int i = 0; i < PacketRing::kSlots; ++i) {
    ring->CurrentWriteSlot()[0] = static_cast<uint8_t>(i);
    ring->Commit();
  }
  EXPECT_EQ(ring->write_index(), 0);
  EXPECT_EQ(ring->CurrentWriteSlot(), ring->SlotAt(0));
  for (int i = 0; i < PacketRing::kSlots; ++i) ASSERT_NE(ring->Take(), nullptr);
  EXPECT_EQ(ring->read_index(), 0);
  EXPECT_EQ(ring->Take(), nullptr);
  ring->Commit();
  ring->ResetRing();
  EXPECT_EQ(ring->count(), 0);
  EXPECT_EQ(ring->write_index(), 0);
}

}  // namespace
}  // namespace vaskel::testing
