// The judge of a reply's counts against boards with every habit their contract allows: each
// healthy board agrees, and a board that reset does not.
#include "device/counts_judge.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>

namespace vaskel {
namespace {

class CountsJudgeTest : public ::testing::Test {
 protected:
  // Delivers `n` segments of `steps` each; returns the count delivered.
  uint32_t Deliver(uint32_t n, std::array<int32_t, 6> steps) {
    for (uint32_t i = 0; i < n; ++i) books_->AddSegment(delivered_++, steps);
    return delivered_;
  }
  void Stop() { books_->AddStop(++stops_, delivered_); }
  // The counts of a board that ran the first k segments whole, from counts of 0.
  std::array<int32_t, 6> At(uint32_t k) const {
    std::array<int32_t, 6> raw{};
    for (size_t c = 0; c < 6; ++c) raw[c] = static_cast<int32_t>(books_->StepsBefore(k, c));
    return raw;
  }
  ReplyCounts Reply(std::array<int32_t, 6> raw, uint32_t fill, uint32_t delivered_at_request,
                    uint32_t stops_at_request) const {
    ReplyCounts r;
    r.raw = raw;
    r.fill = fill;
    r.delivered_at_request = delivered_at_request;
    r.stops_at_request = stops_at_request;
    r.delivered_now = delivered_;
    r.stops_now = stops_;
    return r;
  }
  // Judges a reply against the base, and moves the base on as the link does.
  CountsVerdict See(const ReplyCounts& r) {
    CountsBase next;
    const CountsVerdict v = judge_.Judge(base_, r, nullptr, &next);
    base_ = v == CountsVerdict::kAgree ? next : judge_.BaseFrom(r);
    return v;
  }

  std::unique_ptr<DeliveryBooks> books_ = std::make_unique<DeliveryBooks>();
  CountsJudge judge_{*books_};
  CountsBase base_;
  uint32_t delivered_ = 0;
  uint32_t stops_ = 0;
};

TEST_F(CountsJudgeTest, EveryHealthyHabitAgrees) {
  Deliver(20, {10, -4, 0, 3, 0, 7});
  EXPECT_EQ(See(Reply(At(10), 10, 20, 0)), CountsVerdict::kCannotTell);  // the first sets the base
  // Composed after taking a packet sent behind the request: the fill counts it too.
  const uint32_t asked = delivered_;
  Deliver(7, {10, -4, 0, 3, 0, 7});
  EXPECT_EQ(See(Reply(At(14), 13, asked, 0)), CountsVerdict::kAgree);
  // A fill that leaves out the segment in hand, the counts inside it channel by channel.
  std::array<int32_t, 6> inside = At(16);
  inside[0] += 6;
  inside[1] -= 1;
  inside[5] += 7;
  EXPECT_EQ(See(Reply(inside, 10, delivered_, 0)), CountsVerdict::kAgree);
}

TEST_F(CountsJudgeTest, AChannelThePositionsDoNotReadFollowsItsStepsOrStandsStill) {
  Deliver(20, {10, 0, 0, 0, 0, 7});
  const auto five = [&](uint32_t k, uint32_t fill, int32_t sixth) {
    ReplyCounts r = Reply(At(k), fill, delivered_, 0);
    r.raw[5] = sixth;
    r.channels = 0x1f;
    return r;
  };
  EXPECT_EQ(See(five(5, 15, 0)), CountsVerdict::kCannotTell);
  // A board with no sixth step channel.
  EXPECT_EQ(See(five(9, 11, 0)), CountsVerdict::kAgree);
  EXPECT_EQ(See(five(12, 8, 0)), CountsVerdict::kAgree);
  // One that counts it, and then loses its count: neither following nor standing.
  base_ = CountsBase{};
  EXPECT_EQ(See(five(14, 6, 7 * 14)), CountsVerdict::kCannotTell);
  EXPECT_EQ(See(five(15, 5, 7 * 15)), CountsVerdict::kAgree);
  EXPECT_EQ(judge_.Judge(base_, five(16, 4, 0), nullptr, nullptr), CountsVerdict::kDisagree);
}

TEST_F(CountsJudgeTest, AStopInsideTheSegmentInHandAgrees) {
  Deliver(30, {100, 50, 0, 0, 0, 0});
  // Seen inside segment 10, its fill leaving that segment out.
  std::array<int32_t, 6> seen = At(10);
  seen[0] += 40;
  seen[1] += 20;
  EXPECT_EQ(See(Reply(seen, 19, 30, 0)), CountsVerdict::kCannotTell);
  // The stop comes at once and cuts segment 10 further on; nothing runs after it.
  Stop();
  std::array<int32_t, 6> cut = At(10);
  cut[0] += 51;
  cut[1] += 30;
  EXPECT_EQ(See(Reply(cut, 0, 30, 1)), CountsVerdict::kAgree);
  // What is sent after the stop runs from there.
  const uint32_t asked = Deliver(7, {-5, 0, 0, 0, 0, 0});
  std::array<int32_t, 6> on = cut;
  on[0] -= 35;
  EXPECT_EQ(See(Reply(on, 0, asked, 1)), CountsVerdict::kAgree);
}

TEST_F(CountsJudgeTest, AResetDoesNotAgreeAndCountsAtRestAreTheBoards) {
  Deliver(40, {25, 0, -9, 0, 0, 0});
  EXPECT_EQ(See(Reply(At(20), 20, 40, 0)), CountsVerdict::kCannotTell);
  EXPECT_EQ(See(Reply(At(25), 15, 40, 0)), CountsVerdict::kAgree);
  // The board reset: its counts start again from 0 and it runs what comes after.
  const uint32_t asked = Deliver(7, {25, 0, -9, 0, 0, 0});
  const std::array<int32_t, 6> after_reset{75, 0, -27, 0, 0, 0};
  EXPECT_EQ(judge_.Judge(base_, Reply(after_reset, 4, asked, 0), nullptr, nullptr),
            CountsVerdict::kDisagree);
  // At rest, with nothing outstanding, counts that move are the board's own (a handwheel).
  EXPECT_EQ(See(Reply(At(47), 0, delivered_, 0)), CountsVerdict::kAgree);
  EXPECT_EQ(See(Reply(At(47), 0, delivered_, 0)), CountsVerdict::kAgree);
  std::array<int32_t, 6> moved = At(47);
  moved[1] += 500;
  EXPECT_EQ(See(Reply(moved, 0, delivered_, 0)), CountsVerdict::kAtRest);
  // Counts past what was sent, with segments outstanding, are not.
  const uint32_t more = Deliver(14, {25, 0, -9, 0, 0, 0});
  moved[0] += 5000;
  EXPECT_EQ(judge_.Judge(base_, Reply(moved, 7, more, 0), nullptr, nullptr),
            CountsVerdict::kDisagree);
}

}  // namespace
}  // namespace vaskel
