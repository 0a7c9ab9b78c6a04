#pragma once
// One seed, one deterministic run: the plug-in context on virtual time against the board
// simulator behind the faulty link, the host's program and the world's faults, with the
// invariants checked after every step.
#include <cstdint>
#include <string>
#include <vector>

#include "sim/chaos/invariants.h"
#include "sim/chaos/world.h"

namespace vaskel::chaos {

struct SeedOptions {
  bool trace = false;  // print every host call, fault and state change
};

struct SeedResult {
  bool passed = true;
  Violation violation;
  uint64_t hash = 0;
  uint32_t virtual_ms = 0;
  std::string packets;  // the last packets each way, on failure
};

SeedResult RunWorld(const World& world, const SeedOptions& options);

}  // namespace vaskel::chaos
