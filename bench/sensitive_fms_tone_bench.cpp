// Cost of the sensitive FMS and five-tone decoders for one block of 1024
// samples: on their own traffic (with noise), on white noise and on POCSAG
// 2400 bit/s traffic (the sync search and the filter bank at their busiest).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "core/sensitive/fms_sensitive.h"
#include "core/sensitive/tone_sensitive.h"
#include "decoder_blocks.h"
#include "sensitive_signals.h"

namespace {

using namespace quorvel;
using namespace quorvel::testing;
using bench::TimeDecoderBlocks;

constexpr std::size_t Blocks = 64;

std::vector<double> FmsTraffic() {
    std::vector<double> s;
    gen::FmsTransmission tx;
    tx.withText = true;
    tx.textNumber = 12;
    tx.text = "Einsatzstelle erreicht";
    const auto wave = gen::FmsWaveform(gen::FmsTransmissionBits(tx), 10000.0, SignalRate);
    while (s.size() < Blocks * 1024) {
        s.resize(s.size() + 1200, 0.0);
        s.insert(s.end(), wave.begin(), wave.end());
    }
    s.resize(Blocks * 1024);
    gen::AddNoise(s, gen::MeanSquare(wave), 20.0, 5);
    return s;
}

std::vector<double> Tones() {
    gen::ToneTiming timing;
    timing.pauseSeconds = 0.3;
    const auto t = gen::SynthesizeToneSequences(
        {{1060, 1160, 1270, 1400, 1530}, {1670, 1830, 2000, 2200, 2400}, {1060, 2600, 1060, 2600, 1060}}, timing, 10000.0,
        SignalRate);
    std::vector<double> v(Blocks * 1024, 0.0);
    for (std::size_t i = 0; i < t.samples.size() && i < v.size(); ++i) v[i] = t.samples[i];
    gen::AddNoise(v, t.signalPower, 20.0, 5);
    return v;
}

std::vector<double> Noise() {
    std::vector<double> v(Blocks * 1024, 0.0);
    gen::AddNoise(v, 1e7, 0.0, 9);
    return v;
}

std::vector<double> Pocsag2400() { return PocsagTraffic(Blocks * 1024, 2400.0, 12000.0, 3); }

void BM_SensitiveFmsTraffic(benchmark::State& s) {
    static const auto v = FmsTraffic();
    TimeDecoderBlocks<SensitiveFmsDecoder>(s, v);
}
void BM_SensitiveFmsNoise(benchmark::State& s) {
    static const auto v = Noise();
    TimeDecoderBlocks<SensitiveFmsDecoder>(s, v);
}
void BM_SensitiveFmsPocsag2400(benchmark::State& s) {
    static const auto v = Pocsag2400();
    TimeDecoderBlocks<SensitiveFmsDecoder>(s, v);
}
void BM_SensitiveToneTones(benchmark::State& s) {
    static const auto v = Tones();
    TimeDecoderBlocks<SensitiveToneDecoder>(s, v);
}
void BM_SensitiveToneNoise(benchmark::State& s) {
    static const auto v = Noise();
    TimeDecoderBlocks<SensitiveToneDecoder>(s, v);
}
void BM_SensitiveTonePocsag2400(benchmark::State& s) {
    static const auto v = Pocsag2400();
    TimeDecoderBlocks<SensitiveToneDecoder>(s, v);
}

BENCHMARK(BM_SensitiveFmsTraffic)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SensitiveFmsNoise)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SensitiveFmsPocsag2400)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SensitiveToneTones)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SensitiveToneNoise)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SensitiveTonePocsag2400)->Unit(benchmark::kMicrosecond);

}  // namespace
