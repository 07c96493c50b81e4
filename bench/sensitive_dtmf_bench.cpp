// Cost of the DTMF decoder for one block of 1024 samples: on keys in noise, on
// white noise, on babble and on POCSAG 2400 bit/s traffic.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "core/sensitive/dtmf.h"
#include "gen/dtmf_gen.h"
#include "decoder_blocks.h"
#include "sensitive_signals.h"

namespace {

using namespace quorvel;
using namespace quorvel::testing;
using bench::TimeDecoderBlocks;

constexpr std::size_t Blocks = 64;

std::vector<double> Keys() {
    gen::DtmfOptions o;
    std::vector<gen::DtmfTone> tones;
    gen::DtmfTones("0123456789*#ABCD0123456789*#ABCD", o, tones);
    const auto s = gen::SynthesizeDtmf(tones, SignalRate);
    std::vector<double> v(Blocks * 1024, 0.0);
    std::copy_n(s.samples.begin(), std::min(s.samples.size(), v.size()), v.begin());
    gen::AddNoise(v, s.signalPower, 10.0, 5);
    return v;
}

std::vector<double> Noise() {
    std::vector<double> v(Blocks * 1024, 0.0);
    gen::AddNoise(v, 1e7, 0.0, 9);
    return v;
}

void BM_DtmfKeys(benchmark::State& s) { static const auto v = Keys(); TimeDecoderBlocks<DtmfDecoder>(s, v); }
void BM_DtmfNoise(benchmark::State& s) { static const auto v = Noise(); TimeDecoderBlocks<DtmfDecoder>(s, v); }
void BM_DtmfBabble(benchmark::State& s) {
    static const auto v = Babble(Blocks * 1024, 6, 12000.0, 3);
    TimeDecoderBlocks<DtmfDecoder>(s, v);
}
void BM_DtmfPocsag2400(benchmark::State& s) {
    static const auto v = PocsagTraffic(Blocks * 1024, 2400.0, 12000.0, 3);
    TimeDecoderBlocks<DtmfDecoder>(s, v);
}

BENCHMARK(BM_DtmfKeys)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DtmfNoise)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DtmfBabble)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DtmfPocsag2400)->Unit(benchmark::kMicrosecond);

}  // namespace
