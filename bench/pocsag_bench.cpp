// Cost of one POCSAG block (PocsagProcessBlock on 1024 samples) on a 1200 bit/s
// call and on noise.
#include <benchmark/benchmark.h>

#include "render/standard_engine.h"
#include "gen/pocsag_gen.h"
#include "gen/signal.h"

namespace {

using namespace quorvel;

std::vector<std::int16_t> CallSamples() {
    std::vector<gen::PocsagMessage> calls = {
        {1234567, 3, gen::PocsagMessage::Kind::Alphanumeric, "Einsatz B3 Brand Wohnhaus, Hauptstrasse 12"},
        {4712, 1, gen::PocsagMessage::Kind::Numeric, "0815 4711"},
    };
    gen::PocsagSignal s;
    s.bitRate = 1200;
    const auto wave = gen::PocsagWaveform(s, gen::PocsagCodewords(calls));
    std::vector<double> all = wave;
    gen::AddNoise(all, gen::MeanSquare(wave), 30.0, 3);
    return gen::Quantize(all);
}

std::vector<std::int16_t> NoiseSamples() {
    std::vector<double> all(11025 * 10, 0.0);
    gen::AddNoise(all, 3000.0 * 3000.0, 0.0, 4);
    return gen::Quantize(all);
}

void Run(benchmark::State& state, const std::vector<std::int16_t>& pcm) {
    FixedClock clock;
    StandardEngine e(clock);
    const std::size_t blocks = pcm.size() / FramesPerBlock;
    std::size_t b = 0;
    for (auto _ : state) {
        // Copying the block in (about 1024 moves) is counted with it.
        for (std::size_t i = 0; i < FramesPerBlock; ++i) e.ctx.SampleBlock[i] = pcm[b * FramesPerBlock + i];
        b = (b + 1) % blocks;
        if (e.ctx.MessageText.size() > 100000) e.ctx.MessageText.clear();
        e.pocsag.PocsagProcessBlock();
    }
}

void BM_PocsagBlock1200(benchmark::State& state) {
    static const auto pcm = CallSamples();
    Run(state, pcm);
}
void BM_PocsagBlockNoise(benchmark::State& state) {
    static const auto pcm = NoiseSamples();
    Run(state, pcm);
}

BENCHMARK(BM_PocsagBlock1200)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PocsagBlockNoise)->Unit(benchmark::kMicrosecond);

}  // namespace
