#pragma once
// The spindle value sent to the board in every status request, ramped toward its target by 5
// on every host Update.
#include <atomic>
#include <cstdint>

#include "host/host_block.h"

namespace vaskel {

class Spindle {
 public:
  static constexpr int32_t kFullSpeed = 200;
  static constexpr int32_t kRampStep = 5;

  // Notify codes 3 and 5: a new speed, when the host allows and controls it.
  void OnSpeedCommand(const HostBlocks& host);
  // Notify code 4: spindle off, when the plug-in controls the speed.
  void OnStopCommand(const HostBlocks& host);
  // One ramp step, run at the end of every Update.
  void StepSpindleRamp();

  int32_t value() const { return value_.load(std::memory_order_relaxed); }
  int32_t target() const { return target_.load(std::memory_order_relaxed); }
  void set_value(int32_t v) { value_.store(v, std::memory_order_relaxed); }
  void set_target(int32_t t) { target_.store(t, std::memory_order_relaxed); }

 private:
  std::atomic<int32_t> value_{0};
  std::atomic<int32_t> target_{0};
};

}  // namespace vaskel
