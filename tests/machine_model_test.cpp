#include "sim/board/machine_model.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace vaskel::sim {
namespace {

TEST(MachineFile, ParsesEveryKindWithCommentsAndBlankLines) {
  const auto result = ParseMachine(
      "# a three-axis mill\n"
      "\n"
      "limit 0 min -10000 pin 1\n"
      "limit 0 max 10000 pin 2   # far end\n"
      "home 0 min -9900 pin 3 active-low\r\n"
      "probe 2 min -500 pin 29\n");
  ASSERT_TRUE(result.ok) << result.error;
  const auto& s = result.model.switches();
  ASSERT_EQ(s.size(), 4u);
  EXPECT_EQ(s[0].kind, SwitchKind::Limit);
  EXPECT_EQ(s[0].side, SwitchSide::Min);
  EXPECT_EQ(s[0].position, -10000);
  EXPECT_EQ(s[1].side, SwitchSide::Max);
  EXPECT_EQ(s[2].kind, SwitchKind::Home);
  EXPECT_TRUE(s[2].active_low);
  EXPECT_EQ(s[3].kind, SwitchKind::Probe);
  EXPECT_EQ(s[3].axis, 2);
  EXPECT_EQ(s[3].pin, 29);
}

TEST(MachineFile, MalformedLinesNameTheLineAndTheFault) {
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"limt 0 min 1 pin 1", "line 1: unknown switch kind 'limt'"},
      {"\nlimit 6 min 1 pin 1", "line 2: axis '6' is not 0..5"},
      {"limit x min 1 pin 1", "line 1: axis 'x' is not 0..5"},
      {"limit 0 low 1 pin 1", "line 1: side 'low' is not min or max"},
      {"limit 0 min 1.5 pin 1", "line 1: position '1.5' is not a 32-bit integer"},
      {"limit 0 min 99999999999 pin 1", "line 1: position '99999999999'"},
      {"limit 0 min 1 bit 1", "line 1: expected 'pin' after the position"},
      {"limit 0 min 1 pin 32", "line 1: pin '32' is not 0..31"},
      {"limit 0 min 1 pin", "line 1: expected KIND AXIS"},
      {"home 1 max 5 pin 4 active-high", "line 1: unexpected 'active-high'"},
      {"home 1 max 5 pin 4 active-low extra", "line 1: unexpected 'extra'"},
  };
  for (const auto& c : cases) {
    const auto result = ParseMachine(c.text);
    EXPECT_FALSE(result.ok) << c.text;
    EXPECT_EQ(result.error.rfind(c.error, 0), 0u) << c.text << " -> " << result.error;
  }
}

TEST(MachineFile, MissingFileAndFileErrorsNameThePath) {
  EXPECT_EQ(LoadMachineFile("/nonexistent/machine.txt").error,
            "/nonexistent/machine.txt: cannot be opened");
  const std::string path = ::testing::TempDir() + "vaskel_machine_test.txt";
  std::ofstream(path) << "limit 0 min -10 pin 1\nprobe 9 min 0 pin 2\n";
  const auto result = LoadMachineFile(path);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, path + ":2: axis '9' is not 0..5");
  std::remove(path.c_str());
}

TEST(MachineModel, PinsFollowPositionSideAndPolarity) {
  MachineModel m;
  m.Add({SwitchKind::Limit, 0, SwitchSide::Min, -100, 1, false});
  m.Add({SwitchKind::Limit, 0, SwitchSide::Max, 100, 2, false});
  m.Add({SwitchKind::Home, 1, SwitchSide::Min, 0, 3, true});
  m.Add({SwitchKind::Probe, 2, SwitchSide::Min, -50, 0, false});  // pin 0 is bit 31
  const auto word = [&](int32_t a0, int32_t a1, int32_t a2) {
    return m.InputWord({a0, a1, a2, 0, 0, 0});
  };
  EXPECT_EQ(word(0, 10, 0), 0b100u);         // home released: active-low pin high
  EXPECT_EQ(word(-100, 10, 0), 0b101u);      // at the min limit exactly
  EXPECT_EQ(word(-99, 0, 0), 0u);            // home active pulls its pin low
  EXPECT_EQ(word(100, 10, 0), 0b110u);       // max limit
  EXPECT_EQ(word(0, 10, -50), 0x80000004u);  // probe touched
}

TEST(MachineModel, SwitchesOnOnePinAreWiredOr) {
  MachineModel m;
  m.Add({SwitchKind::Limit, 0, SwitchSide::Min, -10, 5, false});
  m.Add({SwitchKind::Limit, 0, SwitchSide::Max, 10, 5, false});
  EXPECT_EQ(m.InputWord({-10, 0, 0, 0, 0, 0}), MachineModel::PinBit(5));
  EXPECT_EQ(m.InputWord({0, 0, 0, 0, 0, 0}), 0u);
  EXPECT_EQ(m.InputWord({10, 0, 0, 0, 0, 0}), 1u << 4);
}

}  // namespace
}  // namespace vaskel::sim
