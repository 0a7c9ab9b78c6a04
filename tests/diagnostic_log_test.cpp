// The diagnostic log: the flight recorder's ring and its dump, the stats line, and the log's
// file. The dump after an unplug is checked against what the simulated board really took.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "device/flight_recorder.h"
#include "device/flight_recorder_dump.h"
#include "host/host_string.h"
#include "motion/segment_encoder.h"
#include "platform/diagnostic_log.h"
#include "plugin/plugin_context.h"
#include "sim/board/board_simulator.h"
#include "sim/board/sim_hid_bus.h"
#include "sim/substitute_host.h"
#include "test_platform.h"

namespace vaskel {
namespace {

using testing::TestPlatform;

std::vector<uint8_t> Packet(uint8_t opcode, uint32_t value) {
  std::vector<uint8_t> p(64, 0);
  p[0] = opcode;
  for (int k = 0; k < 4; ++k) p[1 + k] = static_cast<uint8_t>(value >> (8 * k));
  return p;
}

TEST(FlightRecorder, KeepsTheLast256EachWayInTimeOrderAcrossTheWrap) {
  FlightRecorder recorder;
  for (uint32_t n = 0; n < 300; ++n) {
    const auto p = Packet(kOpSetPeriodTicks, n);
    recorder.out().Record(1000 + 2 * n, p[0], 0, p.data(), p.size());
  }
  for (uint32_t n = 0; n < 10; ++n) {
    const auto reply = Packet(0, n);  // report bytes after the id: sequence first
    recorder.in().Record(1000 + 2 * 295 + n, kOpStatusRequest, static_cast<uint16_t>(n + 1),
                         reply.data(), reply.size());
  }
  const std::vector<RecordedPacket> out = recorder.out().Snapshot(PacketDirection::kOut);
  ASSERT_EQ(out.size(), 256u);
  for (size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(out[i].bytes[1], static_cast<uint8_t>(44 + i)) << i;  // 300 - 256 = 44 oldest kept
    EXPECT_EQ(out[i].time_ms, 1000 + 2 * (44 + i));
  }
  const std::vector<RecordedPacket> merged = recorder.Snapshot();
  ASSERT_EQ(merged.size(), 266u);
  for (size_t i = 1; i < merged.size(); ++i) {
    EXPECT_LE(merged[i - 1].time_ms, merged[i].time_ms) << i;
  }
  // At the same millisecond the packet out comes first.
  EXPECT_EQ(merged[251].direction, PacketDirection::kOut);
  EXPECT_EQ(merged[251].time_ms, 1590u);
  EXPECT_EQ(merged[252].direction, PacketDirection::kIn);
  EXPECT_EQ(merged[252].time_ms, 1590u);
}

TEST(FlightRecorder, DumpLinesDecodeMotionStatusAndUnmatchedReplies) {
  // A motion packet as the encoder makes it: the dump gives back each segment's steps.
  std::vector<uint8_t> motion(64, 0);
  motion[0] = kOpMotionSegments;
  int32_t direction = 0;
  const EncoderConfig config{};
  for (int s = 0; s < 7; ++s) {
    EncodeSegment(config, {double(s + 1), -3.0, 0, 2047, 0, double(-s)}, direction,
                  motion.data() + 1 + 9 * s);
  }
  RecordedPacket p;
  p.time_ms = 42;
  p.opcode = kOpMotionSegments;
  std::copy(motion.begin(), motion.end(), p.bytes.begin());
  EXPECT_EQ(FormatRecordedPacket(p),
            "        42 ms out 17 MotionSegments steps 1,-3,0,2047,0,0 2,-3,0,2047,0,-1 "
            "3,-3,0,2047,0,-2 4,-3,0,2047,0,-3 5,-3,0,2047,0,-4 6,-3,0,2047,0,-5 "
            "7,-3,0,2047,0,-6");

  // A status reply: fill, six counts, the input word.
  RecordedPacket reply;
  reply.time_ms = 43;
  reply.direction = PacketDirection::kIn;
  reply.opcode = kOpStatusRequest;
  reply.sequence = 7;
  const uint8_t status[] = {7, 0, 66, 0, 1, 0, 0, 0, 0xfe, 0xff, 0xff, 0xff};
  std::copy(std::begin(status), std::end(status), reply.bytes.begin());
  reply.bytes[2 + 2 + 24] = 0x04;  // input word 0x00000004
  EXPECT_EQ(
      FormatRecordedPacket(reply),
      "        43 ms in  18 StatusRequest seq 7 fill 66 counts 1 -2 0 0 0 0 inputs 0x00000004");

  reply.opcode = FlightRecorder::kUnknownOpcode;
  EXPECT_EQ(FormatRecordedPacket(reply),
            "        43 ms in   - unmatched seq 7 payload 420001000000feffffff000000000000");
}

// The plug-in on a platform of fakes against the board simulator, with the log captured.
class LoggedLink : public ::testing::Test {
 protected:
  LoggedLink() {
    platform_.hid_ = &bus_;
    platform_.log_.on = true;
    ctx_ = std::make_unique<PluginContext>(platform_);
    ctx_->SetProName(host_string::Make(::testing::TempDir() + "vaskel_diagnostic_profile.xml"));
    ctx_->InitControl(memory_.engine(), memory_.setup(), memory_.planner(), memory_.window());
    ctx_->PostInitControl();
  }
  ~LoggedLink() override {
    ctx_.reset();
    host_string::Release(memory_.blocks().planner.Get(planner::kStatusText));
  }
  void Run(uint32_t ms) {
    for (uint32_t i = 0; i < ms; ++i) {
      platform_.clock_.AdvanceMs(1);
      if (++now_ % 50 == 0) ctx_->Update();
      ctx_->DispatchTimers();
    }
  }
  void PushSegment(double x) {
    const HostBlock& engine = memory_.blocks().engine;
    const HostBlock& planner = memory_.blocks().planner;
    const int32_t producer = engine.Get(engine::kTrajProducerIndex) & 0xfff;
    const size_t record = planner::kTrajRingBase + planner::kSegmentRecordSize * producer;
    planner.Store<double>(record + 8 * 4, x);
    engine.Set(engine::kTrajProducerIndex, (producer + 1) & 0xfff);
  }
  // A dump: its header line and the packet lines under it (indented), not what the log
  // says after it.
  std::vector<std::string> DumpAfter(const std::string& start) {
    std::vector<std::string> lines = LinesAfter(start);
    size_t n = lines.empty() ? 0 : 1;
    while (n < lines.size() && !lines[n].empty() && lines[n][0] == ' ') ++n;
    lines.resize(n);
    return lines;
  }
  std::vector<std::string> LinesAfter(const std::string& start) {
    const std::vector<std::string> all = platform_.log_.lines();
    for (size_t i = 0; i < all.size(); ++i) {
      if (all[i].find(start) != std::string::npos) return {all.begin() + i, all.end()};
    }
    return {};
  }

  TestPlatform platform_;
  sim::BoardSimulator board_{platform_.clock_};
  sim::SimHidBus bus_{board_};
  sim::HostMemory memory_;
  std::unique_ptr<PluginContext> ctx_;
  uint32_t now_ = 0;
};

TEST_F(LoggedLink, DumpAfterAnUnplugHoldsThePacketsTheBoardTookThenTheStatsLineSaysWhy) {
  memory_.blocks().engine.Set(engine::kAxisEnabled[0], true);
  Run(300);
  ASSERT_TRUE(ctx_->link().link_running());
  for (int k = 1; k <= 14; ++k) PushSegment(k);
  Run(500);
  const std::vector<sim::PacketRecord> taken = board_.TakePacketLog();
  ASSERT_GT(board_.Stats().segments_received, 13u);
  board_.Unplug();
  Run(200);

  const std::vector<std::string> dump = DumpAfter("flight recorder");
  ASSERT_FALSE(dump.empty());
  EXPECT_NE(dump[0].find("link closed: board unplugged"), std::string::npos) << dump[0];
  // Every packet out in the dump is one the board took, in the board's order.
  std::vector<std::string> expected;
  for (const sim::PacketRecord& p : taken) {
    expected.push_back(std::to_string(p.opcode) + " " + OpcodeName(p.opcode));
  }
  std::vector<std::string> outs;
  bool motion_seen = false;
  for (size_t i = 1; i < dump.size(); ++i) {
    std::istringstream words(dump[i]);
    std::string time, ms, direction, opcode, name;
    words >> time >> ms >> direction >> opcode >> name;
    ASSERT_EQ(ms, "ms") << dump[i];
    if (direction == "---") continue;  // a connection's boundary
    if (direction != "out") {
      EXPECT_EQ(direction, "in");
      continue;
    }
    outs.push_back(opcode + " " + name);
    if (name == "MotionSegments" && !motion_seen) {
      motion_seen = true;
      EXPECT_NE(dump[i].find("steps 1,0,0,0,0,0 2,0,0,0,0,0 3,0,0,0,0,0"), std::string::npos)
          << dump[i];
    }
  }
  EXPECT_TRUE(motion_seen);
  EXPECT_EQ(outs, expected);
  // The replies are the board's status: the fill the board had, decoded.
  EXPECT_NE(LinesAfter("in  18 StatusRequest seq").size(), 0u);

  // The stats line comes just before the dump and counts the failed write.
  const std::vector<std::string> lines = platform_.log_.lines();
  const std::vector<std::string> from_stats = LinesAfter("write failures 1167 x1");
  ASSERT_FALSE(from_stats.empty());
  EXPECT_EQ(from_stats[0].rfind("stats ", 0), 0u);
  EXPECT_NE(from_stats[1].find("flight recorder"), std::string::npos);
}

TEST_F(LoggedLink, StatsLineEveryTenSecondsWhileOpenAndOneDumpAtStopPlug) {
  Run(25'000);
  std::vector<std::string> lines;
  for (const std::string& line : platform_.log_.lines()) {
    if (line.rfind("stats", 0) == 0) lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), 2u);  // at 10 s and 20 s after the connection
  for (const std::string& line : lines) {
    EXPECT_EQ(line.rfind("stats 10.0 s: written ", 0), 0u) << line;
    EXPECT_NE(line.find("status replies"), std::string::npos) << line;
    EXPECT_NE(line.find("limit 66"), std::string::npos) << line;
    EXPECT_NE(line.find("reconnections 0"), std::string::npos) << line;
  }
  ctx_->StopPlug();
  const std::vector<std::string> dump = DumpAfter("flight recorder");
  ASSERT_EQ(dump.size(), 1u + 2 * 256u);
  EXPECT_NE(dump[0].find("StopPlug: 256 packets out and 256 in"), std::string::npos) << dump[0];
}

TEST(FileDiagnosticLog, AppendsLinesAndReportsAFileItCannotOpenOnce) {
  static std::vector<std::string> reports;
  const auto report = [](const char* text) { reports.emplace_back(text); };
  const std::string path = ::testing::TempDir() + "vaskel_diagnostic_log_test.log";
  std::remove(path.c_str());
  {
    FileDiagnosticLog log;
    log.Open(path.c_str(), report);
    ASSERT_TRUE(log.enabled());
    log.Write("first");
    log.Write("second");
  }
  {
    FileDiagnosticLog log;  // appends
    log.Open(path.c_str(), report);
    log.Write("third");
  }
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  EXPECT_EQ(text.str(), "first\nsecond\nthird\n");
  EXPECT_TRUE(reports.empty());

  FileDiagnosticLog unset;
  unset.Open(nullptr, report);
  EXPECT_FALSE(unset.enabled());
  FileDiagnosticLog bad;
  bad.Open("/nonexistent-directory/vaskel.log", report);
  EXPECT_FALSE(bad.enabled());
  bad.Write("lost");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("/nonexistent-directory/vaskel.log cannot be opened"),
            std::string::npos);
}

}  // namespace
}  // namespace vaskel
