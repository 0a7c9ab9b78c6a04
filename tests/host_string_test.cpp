#include "host/host_string.h"

#include <gtest/gtest.h>

#include <cstring>
#include <latch>
#include <thread>
#include <vector>

namespace vaskel {
namespace {

TEST(HostString, MakeLaysOutCountLengthCapacityBeforeTheText) {
  char* s = host_string::Make("abc");
  int32_t header[3];
  std::memcpy(header, s - 12, sizeof header);
  EXPECT_EQ(header[0], 1);
  EXPECT_EQ(header[1], 3);
  EXPECT_EQ(header[2], 3);
  EXPECT_STREQ(s, "abc");
  host_string::Release(s);
}

TEST(HostString, AssignWritesInPlaceWhenUnsharedAndLargeEnough) {
  char* s = host_string::Make("a longer text");
  char* slot = s;
  host_string::Assign(&slot, "short");
  EXPECT_EQ(slot, s);
  EXPECT_EQ(host_string::View(slot), "short");
  EXPECT_EQ(host_string::Length(slot), 5);
  EXPECT_EQ(host_string::Capacity(slot), 13);
  host_string::Release(slot);
}

TEST(HostString, AssignReplacesASharedBufferAndReleasesTheOld) {
  char* s = host_string::Make("text");
  host_string::AddRef(s);  // someone else holds it too
  char* slot = s;
  host_string::Assign(&slot, "next");
  EXPECT_NE(slot, s);
  EXPECT_EQ(host_string::View(slot), "next");
  EXPECT_EQ(host_string::RefCount(s), 1);  // the other holder's reference remains
  EXPECT_EQ(host_string::View(s), "text");
  host_string::Release(s);
  host_string::Release(slot);
}

TEST(HostString, AssignGrowsIntoANewBufferWhenTooSmall) {
  char* s = host_string::Make("ab");
  char* slot = s;
  host_string::Assign(&slot, "a much longer status text");
  EXPECT_EQ(host_string::View(slot), "a much longer status text");
  host_string::Release(slot);
}

TEST(HostString, SharedEmptyIsNeverFreedAndIsReplacedOnAssign) {
  char* empty = host_string::SharedEmpty();
  EXPECT_EQ(host_string::RefCount(empty), -1);
  host_string::Release(empty);
  host_string::Release(empty);
  EXPECT_EQ(host_string::RefCount(empty), -1);
  EXPECT_STREQ(empty, "");
  char* slot = empty;
  host_string::Assign(&slot, "x");
  EXPECT_NE(slot, empty);
  EXPECT_EQ(host_string::RefCount(empty), -1);
  host_string::Release(slot);
}

TEST(HostString, NullSlotGetsANewString) {
  char* slot = nullptr;
  host_string::Assign(&slot, "hello");
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(host_string::View(slot), "hello");
  host_string::Release(slot);
  host_string::Release(nullptr);
}

// The host copies and releases the status text on its own threads while the plug-in does on
// others: no count update may be lost, and the buffer is freed exactly once, by the last one.
TEST(HostString, CountChangesFromManyThreadsAreNeverLost) {
  char* s = host_string::Make("status");
  constexpr int kThreads = 4;
  constexpr int kRounds = 50000;
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([s, &start] {
      start.arrive_and_wait();
      for (int i = 0; i < kRounds; ++i) {
        host_string::AddRef(s);
        host_string::AddRef(s);
        host_string::Release(s);
      }
      for (int i = 0; i < kRounds; ++i) host_string::Release(s);
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(host_string::RefCount(s), 1);
  EXPECT_EQ(host_string::View(s), "status");

  for (int t = 0; t < kThreads; ++t) host_string::AddRef(s);
  threads.clear();
  for (int t = 0; t <= kThreads; ++t) threads.emplace_back([s] { host_string::Release(s); });
  for (std::thread& t : threads) t.join();  // ASan reports a second free
}

}  // namespace
}  // namespace vaskel
