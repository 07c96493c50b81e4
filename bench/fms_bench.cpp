// Cost of FmsProcessBlock for one block of 1024 samples: on steady telegram
// traffic (a telegram with follow-on text every 0.25 s, at 20 dB) and on noise.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/fms.h"
#include "gen/fms_gen.h"
#include "gen/signal.h"

namespace {

using namespace quorvel;

std::vector<double> Traffic() {
    std::vector<double> s;
    gen::FmsTransmission tx;
    tx.withText = true;
    tx.textNumber = 12;
    tx.text = "Einsatzstelle erreicht";
    const auto wave = gen::FmsWaveform(gen::FmsTransmissionBits(tx), 10000.0, 11025);
    while (s.size() < 64 * 1024) {
        s.resize(s.size() + 1200, 0.0);
        s.insert(s.end(), wave.begin(), wave.end());
    }
    s.resize(64 * 1024);
    gen::AddNoise(s, gen::MeanSquare(wave), 20.0, 5);
    return s;
}

std::vector<double> Noise() {
    std::vector<double> s(64 * 1024, 0.0);
    gen::AddNoise(s, 1.0e6, 0.0, 9);
    return s;
}

void RunBlocks(benchmark::State& state, const std::vector<double>& samples) {
    FixedClock clock;
    SharedContext ctx(clock);
    FmsDecoder fms(ctx);
    ctx.MessageText.reserve(1 << 20);
    const std::size_t blocks = samples.size() / 1024;
    std::size_t b = 0;
    for (auto _ : state) {
        // The copy of the block (8 KiB) is timed too: an upper bound.
        std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(b * 1024), 1024, ctx.SampleBlock.begin());
        b = (b + 1) % blocks;
        if (ctx.MessageText.size() > (1 << 19)) ctx.MessageText.clear();
        fms.FmsProcessBlock();
        benchmark::DoNotOptimize(ctx.MessageText.data());
    }
    state.counters["text_bytes"] = static_cast<double>(ctx.MessageText.size());
}

void BM_FmsProcessBlockTraffic(benchmark::State& state) {
    static const std::vector<double> samples = Traffic();
    RunBlocks(state, samples);
}
BENCHMARK(BM_FmsProcessBlockTraffic);

void BM_FmsProcessBlockNoise(benchmark::State& state) {
    static const std::vector<double> samples = Noise();
    RunBlocks(state, samples);
}
BENCHMARK(BM_FmsProcessBlockNoise);

}  // namespace
