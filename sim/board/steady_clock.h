#pragma once
// The real clock for a simulator that runs on its own (the emulator program).
#include <chrono>
#include <ctime>

#include "platform/clock.h"

namespace vaskel::sim {

class SteadyClock : public Clock {
 public:
  uint32_t TickCountMs() override {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
  }
  int64_t WallSeconds() override { return static_cast<int64_t>(std::time(nullptr)); }
};

}  // namespace vaskel::sim
