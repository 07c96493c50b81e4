// Cost of one whole pass of the processing loop per block: conditioning and all
// three decoders switched on (the specified ones, or the sensitive ones), over a
// noisy input.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>

#include "render/standard_engine.h"
#include "gen/signal.h"
#include "repeating_blocks.h"

namespace {

// state.range(0): 1 for the sensitive decoders.
void BM_WholeChainPerBlock(benchmark::State& state) {
    quorvel::FixedClock clock;
    auto engine = std::make_unique<quorvel::StandardEngine>(clock);
    engine->ctx.settings.Sensitive = state.range(0) != 0;
    engine->ctx.settings.PocsagEnabled = true;
    engine->ctx.settings.FmsEnabled = true;
    engine->ctx.settings.ZveiEnabled = true;
    quorvel::gen::NoiseSource noise(11);
    std::vector<double> samples(quorvel::FramesPerBlock * 64);
    for (double& x : samples) x = std::nearbyint(2000.0 * noise.Gaussian());
    quorvel::bench::RepeatingBlocks source(std::move(samples));
    std::string taken;
    for (auto _ : state) {
        source.Release(1);
        engine->ProcessPendingBlocks(source);
        engine->ctx.TakeText(taken);
    }
    state.SetItemsProcessed(state.iterations() * quorvel::FramesPerBlock);
}
BENCHMARK(BM_WholeChainPerBlock)->Arg(0)->Arg(1);

}  // namespace
