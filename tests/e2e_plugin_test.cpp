// The built plug-in, loaded by path and driven through its exported entry points by the
// substitute host, on virtual time.
#include <gtest/gtest.h>

#include "loaded_plugin_fixture.h"

namespace vaskel {
namespace {

using LoadedPluginTest = testing::LoadedPluginFixture;

TEST_F(LoadedPluginTest, RunsTheHostLifecycleThroughTheExportedEntryPoints) {
  sim::SubstituteHost host(library_.api());
  EXPECT_EQ(host.Start(::testing::TempDir() + "vaskel_e2e_plugin_profile.xml"),
            "vaskel VASKEL PlugIn Ver 2.0a");
  EXPECT_EQ(host.blocks().planner.Get(planner::kSegmentPeriod), 0.003);
  EXPECT_EQ(host.blocks().planner.Get(planner::kTrajectoryChunk), 256);

  // The first Update (at 50 ms) starts the timer; it ticks every 20 ms from 70 ms on.
  EXPECT_EQ(Run(host, 1000, 50), 47);
  // The tick that consumes the last Update, 50 more, then the 51st kills the timer.
  EXPECT_EQ(Run(host, 5000), 52);
  EXPECT_EQ(Run(host, 1000), 0);

  void* fn = reinterpret_cast<void*>(&LoadedPluginTest::SetUpTestSuite);
  EXPECT_EQ(library_.api().SetDoButton(fn), fn);
  EXPECT_EQ(library_.api().DllRegisterServer(), 0);
  EXPECT_EQ(library_.api().DllUnregisterServer(), 0);
  host.Stop();
}

TEST_F(LoadedPluginTest, NotifyAndDwellArithmeticThroughTheLibrary) {
  sim::SubstituteHost host(library_.api());
  host.Start(::testing::TempDir() + "vaskel_e2e_plugin_profile.xml");
  const HostBlock& e = host.blocks().engine;
  e.Set(engine::kTrajProducerIndex, 4000);
  library_.api().Notify(-1);
  EXPECT_EQ(e.Get(engine::kTrajProducerIndex), 160);
  EXPECT_EQ(e.Get(engine::kTrajConsumerIndex), 160);

  library_.api().DoDwell(0.25);
  EXPECT_EQ(e.Get(engine::kDwellActive), 1);
  library_.api().JogOn(0, 0, 10.0);  // refused while dwelling
  EXPECT_EQ(host.StatusText(), "Jog function can't be enabled while homing, probing or dwell!");
  host.Stop();
}

TEST_F(LoadedPluginTest, UnloadingWithATimerRunningLeavesNothingBehind) {
  {
    sim::SubstituteHost host(library_.api());
    host.Start(::testing::TempDir() + "vaskel_e2e_plugin_profile.xml");
    host.Update();
    Run(host, 100);
    host.Stop();
  }
  library_.Unload();  // its tick timer was still live
  std::string error;
  ASSERT_TRUE(library_.Load(VASKEL_PLUGIN_PATH, &error)) << error;
  sim::SubstituteHost host(library_.api());
  host.Start(::testing::TempDir() + "vaskel_e2e_plugin_profile.xml");
  EXPECT_EQ(Run(host, 200), 0);  // a fresh library: no timer until Update
}

}  // namespace
}  // namespace vaskel
