// Cost of the five-tone decoder's block entry: detection, step making and
// collection for one block of 1024 samples, on tone sequences with noise (lines
// are written now and then) and on noise alone.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "core/zvei.h"
#include "gen/signal.h"
#include "gen/tone_gen.h"

namespace {

std::vector<double> Samples(bool withTones) {
    std::vector<double> v(quorvel::FramesPerBlock * 64, 0.0);
    if (withTones) {
        quorvel::gen::ToneTiming timing;
        timing.pauseSeconds = 0.3;
        const auto s = quorvel::gen::SynthesizeToneSequences(
            {{1060, 1160, 1270, 1400, 1530}, {1670, 1830, 2000, 2200, 2400}, {1060, 2600, 1060, 2600, 1060}}, timing,
            10000.0, 11025);
        for (std::size_t i = 0; i < s.samples.size() && i < v.size(); ++i) v[i] = s.samples[i];
        quorvel::gen::AddNoise(v, s.signalPower, 25.0, 5);
    } else {
        quorvel::gen::AddNoise(v, 1e6, 0.0, 5);
    }
    for (double& x : v) x = std::nearbyint(x);
    return v;
}

void RunBlocks(benchmark::State& state, bool withTones) {
    quorvel::FixedClock clock;
    auto ctx = std::make_unique<quorvel::SharedContext>(clock);
    ctx->settings.ZveiEnabled = true;
    auto decoder = std::make_unique<quorvel::ZveiDecoder>(*ctx);
    const std::vector<double> samples = Samples(withTones);
    const std::size_t blocks = samples.size() / quorvel::FramesPerBlock;
    std::size_t b = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(b * quorvel::FramesPerBlock), quorvel::FramesPerBlock,
                    ctx->SampleBlock.begin());
        b = (b + 1) % blocks;
        if (ctx->MessageText.size() > 4096) ctx->MessageText.clear();
        state.ResumeTiming();
        decoder->ZveiProcessBlock();
        benchmark::DoNotOptimize(decoder->state.StepWrite);
    }
    state.SetItemsProcessed(state.iterations() * quorvel::FramesPerBlock);
}

void BM_ZveiProcessBlockTones(benchmark::State& state) { RunBlocks(state, true); }
void BM_ZveiProcessBlockNoise(benchmark::State& state) { RunBlocks(state, false); }

BENCHMARK(BM_ZveiProcessBlockTones)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ZveiProcessBlockNoise)->Unit(benchmark::kMicrosecond);

}  // namespace
