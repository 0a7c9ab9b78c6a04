// What an integrator finds in the diagnostic log without a board in front of them: the run's
// header with the settings as read, discovery while no board is found, every status-line text
// with its time, and the connection's story. And a hand-edited setting that cannot work gives
// way to the default instead of leaving the machine standing.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/host_string.h"
#include "plugin/plugin_context.h"
#include "profile_test_support.h"
#include "sim/board/board_simulator.h"
#include "sim/board/sim_hid_bus.h"

namespace vaskel::testing {
namespace {

class RunLog : public ::testing::Test {
 protected:
  RunLog() {
    platform_.profile_factory_ = [] { return NewPugixmlProfileDocument(); };
    platform_.hid_ = &bus_;
    platform_.log_.on = true;
  }
  ~RunLog() override {
    ctx_.reset();
    host_string::Release(memory_.blocks().planner.Get(planner::kStatusText));
  }
  void Start(const std::string& profile_text) {
    WriteText(profile_, profile_text);
    ctx_ = std::make_unique<PluginContext>(platform_);
    ctx_->SetProName(host_string::Make(profile_));
    memory_.blocks().planner.Set(planner::kStatusText, host_string::SharedEmpty());
    ctx_->InitControl(memory_.engine(), memory_.setup(), memory_.planner(), memory_.window());
    ctx_->PostInitControl();
    memory_.blocks().engine.Set(engine::kAxisEnabled[0], true);
  }
  void Run(uint32_t ms) {
    for (uint32_t i = 0; i < ms; ++i) {
      platform_.clock_.AdvanceMs(1);
      if (++now_ % 50 == 0) ctx_->Update();
      ctx_->DispatchTimers();
    }
  }
  void PushSegments(int n) {
    const HostBlock& engine = memory_.blocks().engine;
    const HostBlock& planner = memory_.blocks().planner;
    for (int k = 0; k < n; ++k) {
      const int32_t producer = engine.Get(engine::kTrajProducerIndex) & 0xfff;
      const size_t record = planner::kTrajRingBase + planner::kSegmentRecordSize * producer;
      planner.Store<double>(record + 8 * 4, 5.0);
      engine.Set(engine::kTrajProducerIndex, (producer + 1) & 0xfff);
    }
    planner.Set(planner::kFlushPartial, true);
  }
  std::vector<std::string> Lines() const { return platform_.log_.lines(); }
  size_t Count(const std::string& text) const {
    const auto lines = Lines();
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& l) { return l.find(text) != std::string::npos; });
  }
  std::string Find(const std::string& text) const {
    for (const std::string& l : Lines()) {
      if (l.find(text) != std::string::npos) return l;
    }
    return "(none: " + text + ")";
  }

  TempDir dir_;
  std::string profile_ = dir_.File("profile.xml");
  TestPlatform platform_;
  sim::BoardSimulator board_{platform_.clock_};
  sim::SimHidBus bus_{board_};
  sim::HostMemory memory_;
  std::unique_ptr<PluginContext> ctx_;
  uint32_t now_ = 0;
};

// "2OO" (letters O) reads as 2 ms: a limit of 0 segments, and the board would never be asked
// for data. The default takes its place, the header says so, and the program reaches the
// board; a value outside the dialog's range that works is used as it stands.
TEST_F(RunLog, SettingThatCannotWorkGivesWayToTheDefaultAndTheProgramStillRuns) {
  Start(
      "<profile><BRENOK><VASKELBUFFER>2OO</VASKELBUFFER><JOGBUFFER>1500</JOGBUFFER></BRENOK>"
      "</profile>\n");
  EXPECT_EQ(ctx_->settings().device_buffer.load(), 200);
  EXPECT_EQ(ctx_->settings().jog_buffer.load(), 1500);

  const std::vector<std::string> lines = Lines();
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ(lines[0].rfind("==== vaskel plug-in ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("run started "), std::string::npos) << lines[0];
  EXPECT_EQ(lines[1].rfind("library  ", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2], "profile  " + profile_ + " (read)");
  EXPECT_NE(lines[3].find("VASKELBUFFER 200 ms - WARNING: VASKELBUFFER \"2OO\" (read as 2 ms) "
                          "gives a device-buffer limit of 0 segments"),
            std::string::npos)
      << lines[3];
  EXPECT_NE(lines[3].find("device-buffer limit 66 segments"), std::string::npos) << lines[3];
  EXPECT_NE(lines[4].find("JOGBUFFER 1500 ms - note: outside the dialog's 100..1000 ms; used as "
                          "it stands"),
            std::string::npos)
      << lines[4];
  EXPECT_NE(lines[5].find("board    USB HID bus, looking for vendor 0x8888 product 0x0006 "
                          "release 0x0100"),
            std::string::npos)
      << lines[5];

  Run(300);
  ASSERT_TRUE(ctx_->link().link_running());
  PushSegments(70);
  Run(1000);
  EXPECT_EQ(board_.Counts()[0], 70 * 5);

  // What stands is what goes back to the profile.
  ctx_->StopPlug();
  EXPECT_NE(ReadText(profile_).find("<VASKELBUFFER>200</VASKELBUFFER>"), std::string::npos);
  EXPECT_NE(Find("StopPlug: settings written").find("run ended"), std::string::npos);
}

// While no board is found the host runs discovery at every Update: the log tells what it saw
// once, and again only when that changes. Then the connection's story, each line with its
// time, and a dump that marks where the connection began.
TEST_F(RunLog, DiscoveryIsToldWhenItChangesAndTheConnectionsStoryCarriesItsTimes) {
  board_.Unplug();
  bus_.AddInterface(0x046d, 0xc52b, 0x1201, sim::SimHidBus::Place::BeforeBoard);
  Start("<profile/>");
  Run(2000);  // 40 passes
  EXPECT_EQ(Count("no board: discovery saw 1 HID interface,"), 1u);
  EXPECT_NE(Find("vendor 0x046d product 0xc52b release 0x1201 at ").find(": another device"),
            std::string::npos);

  bus_.AddInterface(0x8888, 0x0006, 0x0200, sim::SimHidBus::Place::AfterBoard);
  Run(2000);
  EXPECT_EQ(Count("no board: discovery saw 2 HID interfaces,"), 1u);
  EXPECT_NE(Find("release 0x0200 at ").find("the board's vendor and product, another release"),
            std::string::npos);

  bus_.RemoveExtraInterfaces();
  board_.Replug();
  Run(300);
  ASSERT_TRUE(ctx_->link().link_running());
  const std::string opened = Find("link opened: connection 1 to sim:board");
  // "2023-11-14 22:13:22.050 [4350 ms] link opened": the wall clock, then the tick count.
  EXPECT_EQ(opened.find(" ms] link opened"), opened.find(']') - 3) << opened;
  EXPECT_EQ(opened[4], '-') << opened;
  EXPECT_NE(Find("status line: \"vaskel device is connnected to your computer!\"").find(" ms] "),
            std::string::npos);

  board_.Unplug();
  Run(300);
  EXPECT_NE(Find("link closed: board unplugged (connection 1)").find(" ms] "), std::string::npos);
  EXPECT_EQ(Count("status line: \"vaskel device is pulled out, check your cable!\""), 1u);
  EXPECT_EQ(Count("--- connection 1 opened ---"), 1u);
  EXPECT_EQ(Count("--- connection 1 link closed: board unplugged ---"), 1u);
  // With the board gone again, discovery is told afresh.
  EXPECT_EQ(Count("no board: discovery saw 0 HID interfaces,"), 1u);
}

}  // namespace
}  // namespace vaskel::testing
