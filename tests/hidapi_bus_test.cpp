// The real USB HID bus, as far as a machine without the board can show it.
#include <gtest/gtest.h>

#include "platform/system_hid.h"

namespace vaskel {
namespace {

TEST(SystemHidBus, EnumeratesAndRefusesAPathThatIsNoDevice) {
  auto bus = MakeSystemHidBus();
  ASSERT_NE(bus, nullptr);
  for (const HidDeviceInfo& info : bus->Enumerate()) EXPECT_FALSE(info.path.empty());
  EXPECT_EQ(bus->Open("/nonexistent/hidraw99"), nullptr);
  EXPECT_EQ(bus->Open(""), nullptr);
}

}  // namespace
}  // namespace vaskel
