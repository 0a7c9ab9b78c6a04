#pragma once
// A plug-in context on a platform of fakes, with zero-filled host blocks lent to it the way
// the host lends its own.
#include <memory>

#include "host/host_string.h"
#include "plugin/plugin_context.h"
#include "sim/substitute_host.h"
#include "test_platform.h"

namespace vaskel::testing {

class PluginFixture {
 public:
  PluginFixture() : ctx(platform) {}
  ~PluginFixture() {
    host_string::Release(blocks().planner.Get(planner::kStatusText));
    blocks().planner.Set(planner::kStatusText, static_cast<char*>(nullptr));
  }

  // SetProName, InitControl, PostInitControl, as the host calls them.
  void Start() {
    ctx.SetProName(host_string::Make("profile.xml"));
    ctx.InitControl(memory.engine(), memory.setup(), memory.planner(), memory.window());
    ctx.PostInitControl();
  }
  const HostBlocks& blocks() const { return memory.blocks(); }
  std::string StatusText() const {
    return std::string(host_string::View(blocks().planner.Get(planner::kStatusText)));
  }
  // Advances virtual time one millisecond at a time, delivering due ticks.
  int RunMs(uint32_t ms) {
    int ticks = 0;
    for (uint32_t i = 0; i < ms; ++i) {
      platform.clock_.AdvanceMs(1);
      ticks += ctx.DispatchTimers();
    }
    return ticks;
  }

  TestPlatform platform;
  sim::HostMemory memory;
  PluginContext ctx;
};

}  // namespace vaskel::testing
