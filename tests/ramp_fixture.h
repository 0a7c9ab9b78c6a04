#pragma once
// A plug-in context on zero-filled host blocks with 3 ms segments, and helpers that drive the
// ramp generator one pass at a time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "host/host_string.h"
#include "plugin/plugin_context.h"
#include "test_platform.h"

namespace vaskel::testing {

// One axis of the active set, seen after each pass.
struct RampTrace {
  std::vector<double> velocities;
  std::vector<double> fractions;
  std::vector<int32_t> steps;  // the axis's steps in each record
  int32_t Total() const {
    int32_t sum = 0;
    for (int32_t s : steps) sum += s;
    return sum;
  }
};

class RampTest : public ::testing::Test {
 protected:
  RampTest() {
    ctx_.InitControl(engine_.data(), setup_.data(), planner_.data(), window_.data());
    ctx_.messages().FillMessageTable();
    planner().Set(planner::kSegmentPeriod, 0.003);
  }
  // The status line is the host's string; the host would free it.
  ~RampTest() override { host_string::Release(planner().Get(planner::kStatusText)); }

  RampGenerator& ramps() { return ctx_.motion().ramps(); }
  const HostBlock& planner() { return ctx_.host().planner; }
  const HostBlock& engine() { return ctx_.host().engine; }
  AxisRamp& jog(int axis) { return ramps().jog_ramps()[axis]; }

  // Exactly one generator pass: the ring is held one record short of the default look-ahead.
  std::vector<SegmentRecord> Pass() {
    SegmentRing& ring = ramps().active_ring();
    const int32_t start = ring.producer.load();
    ring.consumer.store((start - 21) & kSegmentRingMask);
    ramps().GenerateRampSegments();
    std::vector<SegmentRecord> written;
    for (int32_t i = start; i != ring.producer.load(); i = (i + 1) & kSegmentRingMask) {
      written.push_back(ring.records[i]);
    }
    return written;
  }

  // `passes` passes, or fewer when `until_idle` and the axis goes idle.
  RampTrace Watch(int axis, int passes, bool until_idle = false) {
    RampTrace trace;
    const AxisRamp& r = ramps().active_set()[axis];
    while (passes-- > 0 && !(until_idle && r.Mode == kRampIdle)) {
      for (const SegmentRecord& rec : Pass()) {
        trace.steps.push_back(static_cast<int32_t>(rec[kStepElement + axis]));
      }
      trace.velocities.push_back(r.Velocity);
      trace.fractions.push_back(r.FractionalSteps);
    }
    return trace;
  }
  RampTrace Run(int axis) { return Watch(axis, 1000, true); }

  // A distance ramp on axis 0 from rest with a pinned acceleration step and target speed.
  RampTrace RunDistance(int32_t steps, double accel_step, double target) {
    jog(0).AccelStep = accel_step;
    ramps().StartDistanceRamp(0, steps, 0);
    jog(0).TargetVelocity = steps < 0 ? -target : target;
    return Run(0);
  }

  // The blocks outlive the context that points into them.
  TestPlatform platform_;
  std::vector<uint8_t> engine_ = std::vector<uint8_t>(engine::kBlockSize);
  std::vector<uint8_t> setup_ = std::vector<uint8_t>(setup::kBlockSize);
  std::vector<uint8_t> planner_ = std::vector<uint8_t>(planner::kBlockSize);
  std::vector<uint8_t> window_ = std::vector<uint8_t>(window::kBlockSize);
  PluginContext ctx_{platform_};
};

}  // namespace vaskel::testing
