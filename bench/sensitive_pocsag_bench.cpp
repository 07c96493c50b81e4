// Cost of one block (1024 samples) of the sensitive POCSAG decoder on 1200 and
// 512 bit/s traffic at 10 dB and on white noise, with the discriminator and
// with the line characteristic; and of the whole loop with every sensitive kind
// switched on.
#include <benchmark/benchmark.h>

#include "render/standard_engine.h"
#include "core/sensitive/sensitive_pocsag.h"
#include "sensitive_pocsag_support.h"

namespace {

using namespace quorvel;

std::vector<std::int16_t> Traffic(double rate, testing::PocsagOutput output = testing::PocsagOutput::Discriminator) {
    testing::PagerScenario s;
    s.rate = rate;
    s.output = output;
    s.snrDb = 10.0;
    return testing::PagerSamples(s, testing::RandomCalls(3, 6));
}

std::vector<std::int16_t> NoiseSamples() {
    std::vector<double> all(11025 * 10, 0.0);
    gen::AddNoise(all, 3000.0 * 3000.0, 0.0, 4);
    return gen::Quantize(all);
}

void Run(benchmark::State& state, const std::vector<std::int16_t>& pcm, int characteristic = 0) {
    FixedClock clock;
    StandardEngine e(clock);
    e.ctx.settings.PocsagEnabled.store(true);
    e.ctx.settings.Sensitive.store(true);
    e.ctx.settings.PocsagCharacteristic.store(characteristic);
    BlockDecoder* decoder = e.decoders.Find("pocsag", DecoderForm::Sensitive);
    const std::size_t blocks = pcm.size() / FramesPerBlock;
    std::size_t b = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < FramesPerBlock; ++i) e.ctx.SampleBlock[i] = pcm[b * FramesPerBlock + i];
        e.ctx.BlockStart = static_cast<std::int64_t>(b) * FramesPerBlock;
        b = (b + 1) % blocks;
        if (e.ctx.MessageText.size() > 100000) e.ctx.MessageText.clear();
        decoder->ProcessBlock();
    }
}

void BM_SensitivePocsagBlock1200(benchmark::State& state) {
    static const auto pcm = Traffic(1200);
    Run(state, pcm);
}
void BM_SensitivePocsagBlock512(benchmark::State& state) {
    static const auto pcm = Traffic(512);
    Run(state, pcm);
}
void BM_SensitivePocsagBlockNoise(benchmark::State& state) {
    static const auto pcm = NoiseSamples();
    Run(state, pcm);
}

void BM_SensitivePocsagLineBlock2400(benchmark::State& state) {
    static const auto pcm = Traffic(2400, testing::PocsagOutput::LineOutput);
    Run(state, pcm, 1);
}
void BM_SensitivePocsagLineBlock1200(benchmark::State& state) {
    static const auto pcm = Traffic(1200, testing::PocsagOutput::LineOutput);
    Run(state, pcm, 1);
}
void BM_SensitivePocsagLineBlock512(benchmark::State& state) {
    static const auto pcm = Traffic(512, testing::PocsagOutput::LineOutput);
    Run(state, pcm, 1);
}
void BM_SensitivePocsagLineBlockNoise(benchmark::State& state) {
    static const auto pcm = NoiseSamples();
    Run(state, pcm, 1);
}

BENCHMARK(BM_SensitivePocsagBlock1200)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SensitivePocsagBlock512)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SensitivePocsagBlockNoise)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SensitivePocsagLineBlock2400)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SensitivePocsagLineBlock1200)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SensitivePocsagLineBlock512)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SensitivePocsagLineBlockNoise)->Unit(benchmark::kMicrosecond);

}  // namespace
