#pragma once
// The built plug-in, loaded by path into this process the way a host loads it, on a virtual
// clock with its workers stepped from DispatchTimers.
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "sim/plugin_loader.h"
#include "sim/substitute_host.h"

namespace vaskel::testing {

class LoadedPluginFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.clock = &clock_;
    env_.cooperative = true;
    sim::SetHostEnvironment(&env_);
    std::string error;
    ASSERT_TRUE(library_.Load(VASKEL_PLUGIN_PATH, &error)) << error;
  }
  void TearDown() override {
    library_.Unload();
    sim::SetHostEnvironment(nullptr);
  }
  // Advances virtual time, pumping the plug-in's timers every millisecond; returns the ticks.
  int Run(sim::SubstituteHost& host, uint32_t ms, uint32_t update_every_ms = 0) {
    int ticks = 0;
    for (uint32_t t = 1; t <= ms; ++t) {
      clock_.AdvanceMs(1);
      if (update_every_ms && t % update_every_ms == 0) host.Update();
      ticks += host.PumpTimers();
    }
    return ticks;
  }

  FakeClock clock_;
  HostEnvironment env_;
  sim::LoadedPlugin library_;
};

}  // namespace vaskel::testing
