#pragma once
// A plug-in context on fakes with its host blocks lent and the link reported running, for the
// motion engine's tests. Host fields are set through the same accessor layer the plug-in uses.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "host/host_string.h"
#include "plugin/plugin_context.h"
#include "sim/substitute_host.h"
#include "test_platform.h"

namespace vaskel::testing {

using Packet = std::array<uint8_t, PacketRing::kSlotSize>;

class MotionTest : public ::testing::Test {
 protected:
  MotionTest() {
    ctx.messages().FillMessageTable();
    ctx.InitControl(memory.engine(), memory.setup(), memory.planner(), memory.window());
    ctx.PostInitControl();
    ctx.link().set_status_for_test(0, true);
    planner().Set(planner::kDeviceNeedsData, true);
    for (size_t a = 0; a < 6; ++a) engine().Set(engine::kAxisEnabled[a], true);
  }
  ~MotionTest() override { host_string::Release(planner().Get(planner::kStatusText)); }

  const HostBlock& engine() const { return ctx.host().engine; }
  const HostBlock& planner() const { return ctx.host().planner; }
  MotionEngine& motion() { return ctx.motion(); }

  // Queues host trajectory entries; entry i has axis 0 at first + i steps.
  void PushHost(int count, int first = 1) {
    for (int i = 0; i < count; ++i) PushHostCounts({double(first + i), 0, 0, 0, 0, 0});
  }
  void PushHostCounts(const std::array<double, 6>& counts) {
    const int32_t producer = engine().Get(engine::kTrajProducerIndex) & 0xfff;
    const size_t record = planner::kTrajRingBase + planner::kSegmentRecordSize * producer;
    for (size_t a = 0; a < 6; ++a) planner().Store<double>(record + 8 * (4 + a), counts[a]);
    engine().Set(engine::kTrajProducerIndex, (producer + 1) & 0xfff);
  }
  int32_t HostPending() const {
    return (engine().Get(engine::kTrajProducerIndex) - engine().Get(engine::kTrajConsumerIndex)) &
           0xfff;
  }

  std::vector<Packet> TakePackets() {
    std::vector<Packet> out;
    while (const uint8_t* p = ctx.link().send_ring().Take()) {
      Packet packet;
      std::copy(p, p + packet.size(), packet.begin());
      out.push_back(packet);
    }
    return out;
  }
  static int CountOpcode(const std::vector<Packet>& packets, uint8_t opcode) {
    int n = 0;
    for (const Packet& p : packets) n += p[0] == opcode ? 1 : 0;
    return n;
  }
  // Axis 0's magnitude in segment k of a motion packet.
  static int Axis0Steps(const Packet& p, int k) {
    const uint8_t* s = p.data() + 1 + 9 * k;
    return s[0] | ((s[1] >> 4) & 0x7) << 8;
  }
  static bool SegmentIsEmpty(const Packet& p, int k) {
    const uint8_t* s = p.data() + 1 + 9 * k;
    for (int i = 0; i < 9; ++i) {
      const uint8_t magnitude_bits = (i % 3 == 1) ? 0x77 : 0xff;  // direction bits aside
      if ((s[i] & magnitude_bits) != 0) return false;
    }
    return true;
  }

  // The board answers a status request sent now: `fill` segments queued, counts and inputs 0.
  void AnswerStatusRequest(int32_t fill) {
    const int32_t sequence = ctx.link().sequence_counter();
    ctx.link().SendStatusRequest();
    AnswerStatus(sequence, fill);
  }
  void AnswerStatus(int32_t sequence, int32_t fill) {
    std::array<uint8_t, kReportSize> report{};
    report[1] = static_cast<uint8_t>(sequence);
    report[2] = static_cast<uint8_t>(sequence >> 8);
    report[3] = static_cast<uint8_t>(fill);
    report[4] = static_cast<uint8_t>(fill >> 8);
    ctx.link().HandleReport(report.data(), report.size());
  }

  std::string StatusText() const {
    return std::string(host_string::View(planner().Get(planner::kStatusText)));
  }

  TestPlatform platform;
  sim::HostMemory memory;
  PluginContext ctx{platform};
};

constexpr uint8_t kOpMotion = 17;
constexpr uint8_t kOpStop = 19;

}  // namespace vaskel::testing
