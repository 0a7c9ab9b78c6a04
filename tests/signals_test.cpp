#include <gtest/gtest.h>

#include "motion_fixture.h"

namespace vaskel::testing {
namespace {

class Signals : public MotionTest {
 protected:
  struct Input {
    uint8_t enabled = 1;
    int8_t pin = 1;
    int8_t port = 1;
    uint8_t active_low = 0;
    uint8_t emulated = 0;
  };
  void SetInput(size_t j, Input in) {
    using namespace input_signal;
    engine().Store<uint8_t>(Offset(j, kEnabled), in.enabled);
    engine().Store<int8_t>(Offset(j, kPin), in.pin);
    engine().Store<int8_t>(Offset(j, kPort), in.port);
    engine().Store<uint8_t>(Offset(j, kActiveLow), in.active_low);
    engine().Store<uint8_t>(Offset(j, kEmulated), in.emulated);
  }
  uint8_t Active(size_t j) {
    return engine().Load<uint8_t>(input_signal::Offset(j, input_signal::kActive));
  }
  void SetActive(size_t j, uint8_t v) {
    engine().Store<uint8_t>(input_signal::Offset(j, input_signal::kActive), v);
  }
  void Scan(uint32_t word) {
    ctx.link().set_input_word_for_test(word);
    motion().ScanInputs();
  }
  void SetOutput(size_t k, uint8_t enabled, int8_t pin, int8_t port, uint8_t active,
                 uint8_t active_low) {
    using namespace output_signal;
    engine().Store<uint8_t>(Offset(k, kEnabled), enabled);
    engine().Store<int8_t>(Offset(k, kPin), pin);
    engine().Store<int8_t>(Offset(k, kPort), port);
    engine().Store<uint8_t>(Offset(k, kActive), active);
    engine().Store<uint8_t>(Offset(k, kActiveLow), active_low);
  }
};

TEST_F(Signals, PinsMapToInputWordBits) {
  SetInput(20, {.pin = 1});
  Scan(0x00000001);
  EXPECT_EQ(Active(20), 1);
  SetInput(20, {.pin = 1, .active_low = 1});
  Scan(0x00000001);
  EXPECT_EQ(Active(20), 0);
  Scan(0);
  EXPECT_EQ(Active(20), 1);

  SetInput(21, {.pin = 29});
  Scan(1u << 28);
  EXPECT_EQ(Active(21), 1);
  SetInput(23, {.pin = 0});
  Scan(1u << 31);
  EXPECT_EQ(Active(23), 1);
  EXPECT_EQ(Active(21), 0);
}

TEST_F(Signals, RecordsOutsideTheMappingKeepTheirByte) {
  SetInput(20, {.pin = 30});
  SetActive(20, 1);
  SetInput(21, {.pin = 3, .port = 2});
  SetActive(21, 1);
  SetInput(22, {.pin = 3, .emulated = 1});
  SetActive(22, 1);
  SetInput(24, {.enabled = 0, .pin = 3});
  SetActive(24, 1);
  Scan(0);
  EXPECT_EQ(Active(20), 1);
  EXPECT_EQ(Active(21), 1);
  EXPECT_EQ(Active(22), 1);
  EXPECT_EQ(Active(24), 1);
}

TEST_F(Signals, ActiveLimitTripsTheEmergencyStopOnce) {
  PushHost(10);
  SetInput(4, {.pin = 5});  // axis 1's second limit
  SetInput(0, {.pin = 6});
  Scan((1u << 4) | (1u << 5));
  EXPECT_TRUE(engine().Get(engine::kEStopActive));
  EXPECT_EQ(motion().state(), kHalted);
  EXPECT_EQ(ctx.messages().index(), kMsgLimitActive);
  EXPECT_EQ(StatusText(), "Limits switch is actived, check you axises position!");
  EXPECT_EQ(HostPending(), 0);  // the abort in Running dropped the queue
  const auto packets = TakePackets();
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0][0], kOpStop);

  // Halted and E-stopped: later scans neither repeat the message nor stop again.
  ctx.messages().Raise(0);
  Scan((1u << 4) | (1u << 5));
  EXPECT_EQ(ctx.messages().index(), 0);
  EXPECT_TRUE(TakePackets().empty());
}

TEST_F(Signals, HaltedGivesNoTripAndNoMessage) {
  motion().set_state(kHalted);
  SetInput(0, {.pin = 1});
  Scan(1);
  EXPECT_FALSE(engine().Get(engine::kEStopActive));
  EXPECT_EQ(ctx.messages().index(), 0);
}

TEST_F(Signals, LimitTripDoesNotDependOnEnabled) {
  SetActive(7, 1);  // axis 2's limit, not mapped, active by the host's word
  Scan(0);
  EXPECT_TRUE(engine().Get(engine::kEStopActive));
}

TEST_F(Signals, HomeInputNeverTripsAndFillsTheSwitchTable) {
  SetInput(2, {.pin = 2});
  SetInput(17, {.pin = 3});
  Scan(0b010);
  EXPECT_FALSE(engine().Get(engine::kEStopActive));
  HomeSwitchTable& t = motion().home_switches();
  EXPECT_EQ(t.Get(0), 1);
  EXPECT_EQ(t.Get(1), 0);
  EXPECT_EQ(t.Get(10), 0);
  EXPECT_EQ(t.Get(11), 1);
  for (size_t i = 2; i < 10; i += 2) {
    EXPECT_EQ(t.Get(i), 0);
    EXPECT_EQ(t.Get(i + 1), 1);
  }
}

TEST_F(Signals, OverrideReportsEveryReplyThenReengages) {
  engine().Set(engine::kLimitOverride, true);
  SetInput(3, {.pin = 1});
  for (int i = 0; i < 3; ++i) {
    ctx.messages().Raise(0);
    Scan(1);
    EXPECT_EQ(ctx.messages().index(), kMsgLimitActive);
    EXPECT_FALSE(engine().Get(engine::kEStopActive));
    EXPECT_EQ(motion().state(), kRunning);
  }
  // An enabled, active home input holds the override as well.
  SetInput(5, {.pin = 2});
  Scan(0b10);
  EXPECT_TRUE(engine().Get(engine::kLimitOverride));
  Scan(0);
  EXPECT_FALSE(engine().Get(engine::kLimitOverride));
  EXPECT_EQ(StatusText(), "Limits Re-engaged");
  EXPECT_TRUE(TakePackets().empty());
}

TEST_F(Signals, EngineOfflineLeavesEverythingAsItWas) {
  engine().Set(engine::kEngineOffline, true);
  engine().Set(engine::kLimitOverride, true);
  SetInput(2, {.pin = 1});
  SetInput(0, {.pin = 2});
  Scan(0b11);
  EXPECT_EQ(Active(2), 0);
  EXPECT_EQ(Active(0), 0);
  EXPECT_EQ(motion().home_switches().Get(1), 0);  // never refreshed
  EXPECT_TRUE(engine().Get(engine::kLimitOverride));
  EXPECT_FALSE(engine().Get(engine::kEStopActive));
}

TEST_F(Signals, OutputWordFollowsPort2Records) {
  SetOutput(0, 1, 3, 2, 0, 1);
  EXPECT_EQ(motion().BuildOutputWord(), 1u << 3);
  SetOutput(1, 1, 3, 2, 0, 0);  // the later record on pin 3 wins
  EXPECT_EQ(motion().BuildOutputWord(), 0u);
  SetOutput(2, 1, 1, 2, 1, 0);
  SetOutput(3, 1, 0, 2, 1, 0);
  SetOutput(4, 1, 30, 2, 1, 0);  // no such pin
  SetOutput(5, 1, 7, 1, 1, 0);   // another port
  SetOutput(6, 0, 8, 2, 1, 0);   // not enabled
  SetOutput(29, 1, 29, 2, 1, 0);
  EXPECT_EQ(motion().BuildOutputWord(), (1u << 1) | 1u | (1u << 29));
}

TEST(SpindleRamp, StepsByFiveTowardTheTarget) {
  Spindle s;
  s.set_target(12);
  const int32_t up[] = {5, 10, 12, 12};
  for (int32_t v : up) {
    s.StepSpindleRamp();
    EXPECT_EQ(s.value(), v);
  }
  s.set_value(200);
  s.set_target(0);
  for (int i = 0; i < 39; ++i) s.StepSpindleRamp();
  EXPECT_EQ(s.value(), 5);
  s.StepSpindleRamp();
  EXPECT_EQ(s.value(), 0);
  s.set_value(3);
  s.StepSpindleRamp();
  EXPECT_EQ(s.value(), 0);
}

}  // namespace
}  // namespace vaskel::testing
