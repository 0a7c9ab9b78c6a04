// The built library, loaded by path: after StopPlug nothing of it runs, so the host may unload
// it at once; a fresh load starts from nothing.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>

#include "loaded_plugin_fixture.h"

namespace vaskel {
namespace {

using UnloadTest = testing::LoadedPluginFixture;

TEST_F(UnloadTest, StopPlugEndsTheTickAndLaterCallsStartNothing) {
  sim::SubstituteHost host(library_.api());
  host.Start(::testing::TempDir() + "vaskel_e2e_unload_profile.xml");
  EXPECT_GT(Run(host, 500, 50), 0);
  host.Stop();  // the tick would otherwise run on for a second
  EXPECT_EQ(Run(host, 2000), 0);
  EXPECT_EQ(Run(host, 500, 50), 0);  // Update after StopPlug
  library_.api().Probe();
  library_.api().Config();
  EXPECT_EQ(Run(host, 500), 0);
}

TEST_F(UnloadTest, UnloadRightAfterStopPlugThenAFreshLoad) {
  {
    sim::SubstituteHost host(library_.api());
    host.Start(::testing::TempDir() + "vaskel_e2e_unload_profile.xml");
    Run(host, 300, 50);
    host.Stop();
  }
  library_.Unload();
  std::string error;
  ASSERT_TRUE(library_.Load(VASKEL_PLUGIN_PATH, &error)) << error;
  sim::SubstituteHost host(library_.api());
  EXPECT_EQ(host.Start(::testing::TempDir() + "vaskel_e2e_unload_profile.xml"),
            "vaskel VASKEL PlugIn Ver 2.0a");
  EXPECT_EQ(Run(host, 200), 0);  // no timer until the first Update
  EXPECT_GT(Run(host, 200, 50), 0);
  host.Stop();
  EXPECT_EQ(Run(host, 200), 0);
}

TEST_F(UnloadTest, DisplayNameIsCutAtTheLastDotOfTheLibraryName) {
  library_.Unload();
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("vaskel-name-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::filesystem::copy_file(VASKEL_PLUGIN_PATH, dir / "vaskel.1.so",
                             std::filesystem::copy_options::overwrite_existing);
  std::string error;
  ASSERT_TRUE(library_.Load((dir / "vaskel.1.so").string(), &error)) << error;
  sim::SubstituteHost host(library_.api());
  EXPECT_EQ(host.Start(::testing::TempDir() + "vaskel_e2e_unload_profile.xml"),
            "vaskel.1 VASKEL PlugIn Ver 2.0a");
  host.Stop();
  library_.Unload();
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vaskel
