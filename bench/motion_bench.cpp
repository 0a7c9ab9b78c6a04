// The tick's cost while it streams at full rate, and the cost of encoding one segment.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "motion/segment_encoder.h"
#include "plugin/plugin_context.h"
#include "test_platform.h"

namespace vaskel {
namespace {

struct Blocks {
  std::vector<uint64_t> engine = std::vector<uint64_t>(engine::kBlockSize / 8 + 8);
  std::vector<uint64_t> setup = std::vector<uint64_t>(setup::kBlockSize / 8 + 8);
  std::vector<uint64_t> planner = std::vector<uint64_t>(planner::kBlockSize / 8 + 8);
  std::vector<uint64_t> window = std::vector<uint64_t>(window::kBlockSize / 8 + 8);
};

void BM_TickBodyStreamingFourPackets(benchmark::State& state) {
  testing::TestPlatform platform;
  Blocks blocks;
  PluginContext ctx(platform);
  ctx.InitControl(blocks.engine.data(), blocks.setup.data(), blocks.planner.data(),
                  blocks.window.data());
  ctx.PostInitControl();
  ctx.link().set_status_for_test(20, true);
  const HostBlocks& host = ctx.host();
  host.planner.Set(planner::kDeviceNeedsData, true);
  for (size_t a = 0; a < 6; ++a) host.engine.Set(engine::kAxisEnabled[a], true);
  for (size_t slot = 0; slot < planner::kTrajRingSlots; ++slot) {
    const size_t record = planner::kTrajRingBase + planner::kSegmentRecordSize * slot;
    for (size_t a = 0; a < 6; ++a) {
      const double steps = static_cast<double>((slot * 7 + a * 13) % 401) - 200.0;
      host.planner.Store<double>(record + 8 * (4 + a), steps);
    }
  }
  host.engine.Set(engine::kTrajProducerIndex, int32_t{4000});
  PacketRing& ring = ctx.link().send_ring();

  for (auto _ : state) {
    ctx.TickBody();
    // Keep the queue deep and the send ring empty; both are a few stores.
    host.engine.Set(engine::kTrajConsumerIndex, int32_t{0});
    while (ring.Take() != nullptr) {
    }
  }
  if (ctx.motion().SegmentsSent() != 28u * state.iterations()) {
    state.SkipWithError("the tick did not stream four full packets");
  }
  state.SetItemsProcessed(state.iterations() * 28);
}
BENCHMARK(BM_TickBodyStreamingFourPackets);

void BM_EncodeSegment(benchmark::State& state) {
  EncoderConfig config;
  config.reversed[1] = true;
  config.enabled[1] = false;
  int32_t dir = 0;
  uint8_t out[kSegmentBytes];
  StepCounts steps{-37, 120, 0, 5, -2046, 17};
  for (auto _ : state) {
    benchmark::DoNotOptimize(EncodeSegment(config, steps, dir, out));
    benchmark::ClobberMemory();
    steps[0] = -steps[0];
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EncodeSegment);

}  // namespace
}  // namespace vaskel

BENCHMARK_MAIN();
