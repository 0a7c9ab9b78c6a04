#include "plugin/messages.h"

#include <gtest/gtest.h>

#include <thread>

#include "plugin_fixture.h"

namespace vaskel {
namespace {

using testing::PluginFixture;

TEST(Messages, TableHoldsTheSystemTextsExactly) {
  PluginFixture f;
  f.Start();
  Messages& m = f.ctx.messages();
  EXPECT_EQ(m.TableText(0), "");
  EXPECT_EQ(m.TableText(1), "Some usb device make the usb detected program doesen't work well!");
  EXPECT_EQ(m.TableText(3), "vaskel device is pulled out, check your cable!");
  EXPECT_EQ(m.TableText(9), "Vornex queue is not empty, unable to start jog!");
  EXPECT_EQ(m.TableText(11), "Limits switch is actived, check you axises position!");
  EXPECT_EQ(m.TableText(13), "probe io is disabled, check your io port setting.");
  EXPECT_EQ(m.TableText(14), "backlash working..");
  for (int i = 1; i < 15; ++i) EXPECT_LT(m.TableText(i).size(), 100u);
}

TEST(Messages, NumbersPastTheTableShowTheFallback) {
  PluginFixture f;
  f.Start();
  for (int32_t index : {15, 16, 1000}) {
    f.ctx.messages().Raise(index);
    EXPECT_EQ(f.StatusText(), "UNKNOW ERROR TRIGGERED");
  }
  f.ctx.messages().Raise(0);
  EXPECT_EQ(f.StatusText(), "");
}

TEST(Messages, RaisingTwiceAssignsTwice) {
  PluginFixture f;
  f.Start();
  f.ctx.messages().Raise(kMsgEngineOffline);
  f.ctx.messages().SetStatusText("host text");
  f.ctx.messages().ShowMessage();
  EXPECT_EQ(f.StatusText(), "engine offline!");
}

TEST(Messages, SystemErrorKeepsTheMessageNumber) {
  PluginFixture f;
  f.Start();
  f.ctx.messages().Raise(kMsgDevicePulledOut);
  f.ctx.messages().ShowSystemError(31);
  EXPECT_EQ(f.StatusText(), "A device attached to the system is not functioning.");
  EXPECT_EQ(f.ctx.messages().index(), 3);
  f.ctx.messages().ShowSystemError(12345);  // the platform has no text for it
  EXPECT_EQ(f.StatusText(), "System error 12345 (0x00003039).");
}

TEST(Messages, NothingIsShownBeforeTheHostLendsItsBlocks) {
  testing::TestPlatform platform;
  PluginContext ctx(platform);
  ctx.messages().FillMessageTable();
  ctx.messages().Raise(kMsgDeviceConnected);  // no status line yet: must not crash
  EXPECT_EQ(ctx.messages().index(), 4);
}

TEST(Messages, FourThreadsRaisingAtOnceLeaveAWholeText) {
  PluginFixture f;
  f.Start();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&f, t] {
      for (int i = 0; i < 500; ++i) f.ctx.messages().Raise(1 + (t * 3 + i) % 13);
    });
  }
  for (auto& t : threads) t.join();
  const std::string text = f.StatusText();
  bool whole = false;
  for (int i = 1; i < 14; ++i) whole = whole || text == f.ctx.messages().TableText(i);
  EXPECT_TRUE(whole) << text;
}

}  // namespace
}  // namespace vaskel
