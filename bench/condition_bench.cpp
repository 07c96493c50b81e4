// Cost of the input conditioning for one block of 1024 samples.
#include <benchmark/benchmark.h>

#include <cmath>

#include "core/processing.h"
#include "gen/signal.h"

namespace {

void BM_ConditionBlock(benchmark::State& state) {
    quorvel::FixedClock clock;
    quorvel::SharedContext ctx(clock);
    quorvel::InputConditioner conditioner;
    quorvel::gen::NoiseSource noise(7);
    for (double& x : ctx.SampleBlock) x = std::nearbyint(3000.0 * noise.Gaussian());
    for (auto _ : state) {
        conditioner.ConditionBlock(ctx);
        benchmark::DoNotOptimize(ctx.stats.AcLevel.load());
    }
    state.SetItemsProcessed(state.iterations() * quorvel::FramesPerBlock);
}
BENCHMARK(BM_ConditionBlock);

}  // namespace
