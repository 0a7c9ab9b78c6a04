// The deterministic simulator's speed: one-minute seeds of the plug-in context against the
// board simulator. "x_real_time" is virtual seconds run per second of wall time.
#include <benchmark/benchmark.h>

#include "sim/chaos/seed_run.h"
#include "sim/chaos/world.h"

namespace {

void BM_ChaosMinuteSeed(benchmark::State& state) {
  vaskel::chaos::SeedOptions options;
  uint64_t seed = 1;
  double virtual_seconds = 0;
  for (auto _ : state) {
    const vaskel::chaos::World world = vaskel::chaos::GenerateWorld(seed++, 60000);
    const vaskel::chaos::SeedResult r = vaskel::chaos::RunWorld(world, options);
    virtual_seconds += r.virtual_ms / 1000.0;
    benchmark::DoNotOptimize(r.hash);
  }
  state.counters["seeds_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["x_real_time"] = benchmark::Counter(virtual_seconds, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ChaosMinuteSeed)->Unit(benchmark::kMillisecond)->MinTime(5.0);

}  // namespace
