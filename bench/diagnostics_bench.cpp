// What the link's diagnostics cost on the workers' hot path: one packet into the flight
// recorder, and the counters a written packet and a status reply touch.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>

#include "device/flight_recorder.h"
#include "device/link_stats.h"

namespace vaskel {
namespace {

void BM_FlightRecorderRecordsOnePacket(benchmark::State& state) {
  FlightRecorder recorder;
  std::array<uint8_t, 64> packet{};
  packet[0] = 17;
  uint32_t now = 0;
  for (auto _ : state) {
    packet[1] = static_cast<uint8_t>(now);
    recorder.out().Record(++now, packet[0], 0, packet.data(), packet.size());
  }
  benchmark::DoNotOptimize(recorder.out().recorded());
}
BENCHMARK(BM_FlightRecorderRecordsOnePacket);

void BM_StatsForAWriteAndAStatusReply(benchmark::State& state) {
  LinkStats stats;
  std::array<uint8_t, 28> counts_and_inputs{};
  uint32_t now = 0;
  for (auto _ : state) {
    stats.OnPacketWritten();
    stats.OnReplyLatency(now & 3);
    stats.OnStatusReply(++now, static_cast<int32_t>(now % 100), counts_and_inputs.data());
    stats.OnNeedsData(now, (now & 1) != 0);
  }
  benchmark::DoNotOptimize(stats.Figures(now, true, 66).packets_written);
}
BENCHMARK(BM_StatsForAWriteAndAStatusReply);

}  // namespace
}  // namespace vaskel
