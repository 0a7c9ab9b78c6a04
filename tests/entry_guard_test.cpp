// No failure inside the plug-in reaches the host's frames: the entry point returns its failure
// value, the call's motion is halted, and the status line says the command was not done.
#include "plugin/entry_guard.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <system_error>

#include "host/host_string.h"
#include "sim/substitute_host.h"
#include "test_platform.h"

namespace vaskel::testing {
namespace {

// Thread creation fails, as std::thread does when the process is out of threads.
class NoThreads : public CooperativeWorkers {
 public:
  void Spawn(const std::string&, WorkerStep, WorkerPriority) override {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  }
};

class NoThreadsPlatform : public TestPlatform {
 public:
  Workers& workers() override { return no_threads_; }
  NoThreads no_threads_;
};

struct NoThreadsPlugin {
  NoThreadsPlugin() {
    memory.blocks().planner.Set(planner::kStatusText, host_string::SharedEmpty());
    ctx.SetProName(host_string::Make("profile.xml"));
    ctx.InitControl(memory.engine(), memory.setup(), memory.planner(), memory.window());
    ctx.PostInitControl();
  }
  ~NoThreadsPlugin() { host_string::Release(memory.blocks().planner.Get(planner::kStatusText)); }
  std::string StatusText() const {
    return std::string(host_string::View(memory.blocks().planner.Get(planner::kStatusText)));
  }
  NoThreadsPlatform platform;
  sim::HostMemory memory;
  PluginContext ctx{platform};
};

NoThreadsPlugin* g_plugin = nullptr;
PluginContext& TheContext() {
  return g_plugin->ctx;
}
PluginContext& NoContext() {
  throw std::bad_alloc();
}

TEST(EntryGuard, AFailedCallReturnsItsFailureValueHaltsAndSaysSo) {
  NoThreadsPlugin plugin;
  g_plugin = &plugin;
  // A jog runs; then Probe cannot make its worker. Nothing escapes, and no motion is left.
  plugin.ctx.motion().JogOn(0, 0, 10.0);
  ASSERT_NE(plugin.ctx.motion().state(), kHalted);
  GuardEntry(&TheContext, EntryKind::Motion, [](PluginContext& p) { p.Probe(); });
  EXPECT_EQ(plugin.ctx.motion().state(), kHalted);
  EXPECT_EQ(plugin.StatusText(), kEntryFailedText);

  // A call that starts no motion leaves the motion alone, still tells the user, and returns
  // its failure value.
  plugin.ctx.messages().SetStatusText("");
  plugin.ctx.motion().MotionReset();
  const int32_t before = plugin.ctx.motion().state();
  EXPECT_EQ(GuardEntry(&TheContext, EntryKind::Plain, 7,
                       [](PluginContext&) -> int { throw std::runtime_error("x"); }),
            7);
  EXPECT_EQ(plugin.ctx.motion().state(), before);
  EXPECT_EQ(plugin.StatusText(), kEntryFailedText);

  // The context itself could not be made: the failure value still comes back.
  EXPECT_EQ(GuardEntry(&NoContext, EntryKind::Motion, 0, [](PluginContext&) { return 1; }), 0);
  g_plugin = nullptr;
}

}  // namespace
}  // namespace vaskel::testing
