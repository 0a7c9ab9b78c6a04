// The deterministic simulator is the test of the plug-in under faults; here only its own
// promise: one seed is one run, bit for bit.
#include <gtest/gtest.h>

#include "sim/chaos/seed_run.h"
#include "sim/chaos/world.h"

namespace vaskel::chaos {
namespace {

TEST(Chaos, OneSeedRunTwiceLeavesTheSameTrace) {
  // A mixed world with faults: scheduling, faults and replies all come from the seed.
  const World world = GenerateWorld(7, 20000);
  ASSERT_FALSE(world.faults.empty());
  const SeedResult first = RunWorld(world, {});
  const SeedResult second = RunWorld(world, {});
  EXPECT_EQ(first.hash, second.hash);
  EXPECT_EQ(first.passed, second.passed);
  EXPECT_EQ(first.virtual_ms, second.virtual_ms);
  EXPECT_NE(RunWorld(GenerateWorld(8, 20000), {}).hash, first.hash);
}

}  // namespace
}  // namespace vaskel::chaos
