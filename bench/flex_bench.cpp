// Cost of one block (1024 samples) of the FLEX decoder on back-to-back frames
// of each mode at 12 dB and on white noise; and of the whole sensitive chain
// (conditioning, sensitive POCSAG, FMS, five-tone and FLEX) on 6400/4 frames,
// the busiest FLEX traffic. The blocks in which a frame ends carry its reading
// (every word of every phase corrected); the mean spreads it.
#include <benchmark/benchmark.h>

#include <memory>

#include "core/engine.h"
#include "flex_support.h"
#include "repeating_blocks.h"

namespace {

using namespace quorvel;

std::vector<double> Frames(flex::Mode mode) {
    testing::FlexScenario s;
    s.mode = mode;
    s.snrDb = 12.0;
    s.frames = 6;
    s.leadSeconds = 0.1;
    s.tailSeconds = 0.1;
    std::vector<gen::FlexPageToSend> pages = testing::RandomFlexPages(3, mode, 40);
    std::vector<double> v = testing::FlexSamples(s, pages);
    for (double& x : v) x = std::nearbyint(x);
    return v;
}

void Run(benchmark::State& state, const std::vector<double>& samples) {
    FixedClock clock;
    SharedContext ctx(clock);
    FlexDecoder decoder(ctx);
    const std::size_t blocks = samples.size() / FramesPerBlock;
    std::size_t b = 0;
    for (auto _ : state) {
        std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(b * FramesPerBlock), FramesPerBlock, ctx.SampleBlock.begin());
        decoder.ProcessBlock();
        ctx.BlockStart += FramesPerBlock;
        b = (b + 1) % blocks;
    }
}

void BM_FlexBlock(benchmark::State& state) {
    static const std::vector<std::vector<double>> frames = {Frames(flex::Mode::M1600_2), Frames(flex::Mode::M3200_2),
                                                            Frames(flex::Mode::M3200_4), Frames(flex::Mode::M6400_4)};
    Run(state, frames[static_cast<std::size_t>(state.range(0))]);
}
BENCHMARK(BM_FlexBlock)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

void BM_FlexBlockNoise(benchmark::State& state) {
    static const auto noise = [] {
        std::vector<double> v(11025 * 10, 0.0);
        gen::AddNoise(v, 3000.0 * 3000.0, 0.0, 4);
        for (double& x : v) x = std::nearbyint(x);
        return v;
    }();
    Run(state, noise);
}
BENCHMARK(BM_FlexBlockNoise)->Unit(benchmark::kMicrosecond);

void BM_SensitiveChainWithFlexPerBlock(benchmark::State& state) {
    static const auto frames = Frames(flex::Mode::M6400_4);
    FixedClock clock;
    auto engine = std::make_unique<Engine>(clock);
    engine->ctx.settings.Sensitive = true;
    engine->ctx.settings.PocsagEnabled = true;
    engine->ctx.settings.FmsEnabled = true;
    engine->ctx.settings.ZveiEnabled = true;
    engine->ctx.settings.FlexEnabled = true;
    quorvel::bench::RepeatingBlocks source(frames);
    std::string taken;
    for (auto _ : state) {
        source.Release(1);
        engine->ProcessPendingBlocks(source);
        engine->ctx.TakeText(taken);
    }
    state.SetItemsProcessed(state.iterations() * FramesPerBlock);
}
BENCHMARK(BM_SensitiveChainWithFlexPerBlock)->Unit(benchmark::kMicrosecond);

}  // namespace
