#pragma once
// Cuts a failing world down to the fewest faults and host actions that still fail the same
// invariant.
#include <cstdint>
#include <vector>

#include "sim/chaos/seed_run.h"
#include "sim/chaos/world.h"

namespace vaskel::chaos {

struct ShrinkResult {
  World world;
  SeedResult result;
  int runs = 0;
};

ShrinkResult Shrink(const World& failing, const SeedResult& failure, const SeedOptions& options,
                    int max_runs = 300);

// Keeps only the listed action and fault indices (the replay of a shrunk world).
World Restrict(const World& world, const std::vector<int>& actions, const std::vector<int>& faults);

}  // namespace vaskel::chaos
