// Sensitivity of the FLEX decoder: generated frames of random pages (symbol
// clock off nominal by up to 1000 ppm, receiver low-pass, DC offset, half of
// them inverted) per mode and SNR, counted as exact pages, corrupt pages shown
// and missed; then false pages over long white noise, POCSAG traffic at every
// rate, FMS, five-tone and speech-like noise.
//
//   flex_sensitivity [--frames N] [--noise-seconds S] [--mode 3200/4] [--snr 3] [--run R] [--tap line] [--show] [--whole-band]
//
// Each frame goes to a decoder of its own, which knows nothing of the sender
// (the first frame heard); --run R: R frames in a row to one decoder, as to a
// receiver left on the channel, which learns what the sender does. --tap
// line: the receiver's line output (de-emphasis, 300..3000 Hz) instead of its
// discriminator.
//
// SNR as the POCSAG table defines it: signal power below the bit rate over
// noise power in 0..bit rate (energy per bit over noise density; see
// tests/flex_support.h); --whole-band: over white noise power across
// 0..5512.5 Hz instead (quorvel-gen --snr).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "flex_support.h"
#include "sensitive_signals.h"

namespace {

using namespace quorvel;
using namespace quorvel::testing;

constexpr int kPagesPerFrame = 8;
bool gShow = false;
bool gLine = false;
int gRun = 1;
bool gWholeBand = false;
FlexStats gStats;  // --show: list the pages shown that were not sent

FlexScore RunCell(Mode mode, double snr, int frames, std::uint64_t seedBase) {
    FlexScore score;
    std::unique_ptr<FlexRig> decoder;
    const auto finish = [&] {
        if (!decoder) return;
        decoder->decoder.FinishInput();
        const FlexStats& st = decoder->decoder.Stats();
        gStats.frames += st.frames;
        gStats.fiwRejected += st.fiwRejected;
        gStats.rejectedPages += st.rejectedPages;
        gStats.noisyPhases += st.noisyPhases;
        gStats.checkMismatches += st.checkMismatches;
        gStats.droppedFragments += st.droppedFragments;
    };
    for (int t = 0; t < frames; ++t) {
        FlexScenario s = TableFrame(mode, snr, seedBase, t);
        s.bitRateSnr = !gWholeBand;
        s.lineOutput = gLine;
        const auto pages = RandomFlexPages(s.seed, mode, kPagesPerFrame);
        if (t % gRun == 0) {
            finish();
            decoder = std::make_unique<FlexRig>();
            decoder->ctx.settings.PocsagCharacteristic.store(gLine ? 1 : 0);
        }
        FlexRig& rig = *decoder;
        rig.pages.clear();
        rig.Feed(FlexSamples(s, pages));
        if (gRun == 1) rig.decoder.FinishInput();
        const FlexScore one = ScoreFlex(rig.pages, pages);
        if (gShow && (one.corrupt > 0 || one.falsePages > 0)) {
            for (const auto& q : pages)
                std::printf("  sent: %c %09llu %d \"%s\"\n", 'A' + q.phase, static_cast<unsigned long long>(q.capcode),
                            static_cast<int>(q.kind), q.text.c_str());
            for (const FlexPage& p : rig.pages) {
                bool sent = false;
                for (const auto& q : pages) sent = sent || SamePage(p, q);
                if (!sent)
                    std::printf("  shown, not sent: %s %c %09llu %s \"%s\" corrected %d long %d\n", flex::Info(mode).name,
                                'A' + p.phase, static_cast<unsigned long long>(p.capcode),
                                p.type == FlexPageType::Tone ? "tone" : p.type == FlexPageType::Numeric ? "numeric" : "alpha",
                                p.text.c_str(), p.corrected, p.longAddress);
            }
        }
        score += one;
    }
    finish();
    return score;
}

// False pages over `seconds` of a signal made a minute at a time by `make(minute)`.
struct NoiseResult {
    std::size_t pages = 0;
    std::int64_t syncs = 0;   // syncs whose FIW was then read or rejected
    std::int64_t frames = 0;  // of these, FIWs that corrected and checked
};

template <class Make>
NoiseResult FalsePages(double seconds, Make make) {
    FlexRig rig;
    rig.ctx.settings.PocsagCharacteristic.store(gLine ? 1 : 0);
    constexpr std::size_t kChunk = FramesPerBlock * 646;  // about a minute
    const auto chunks = static_cast<std::size_t>(std::ceil(seconds * 11025.0 / kChunk));
    for (std::size_t c = 0; c < chunks; ++c) {
        std::vector<double> v = make(c, kChunk);
        v.resize(kChunk, 0.0);
        rig.Feed(v);
    }
    rig.decoder.FinishInput();
    const FlexStats& st = rig.decoder.Stats();
    return {rig.pages.size(), st.frames + st.fiwRejected, st.frames};
}

}  // namespace

int main(int argc, char** argv) {
    int frames = 20;
    std::string only;  // --mode M: that mode alone
    double onlySnr = NAN;  // --snr S: that SNR alone
    double noiseSeconds = 3600.0;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--show") == 0) gShow = true;
        else if (std::strcmp(argv[i], "--whole-band") == 0) gWholeBand = true;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--frames") == 0) frames = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--noise-seconds") == 0) noiseSeconds = std::atof(argv[i + 1]);
        if (std::strcmp(argv[i], "--mode") == 0) only = argv[i + 1];
        if (std::strcmp(argv[i], "--snr") == 0) onlySnr = std::atof(argv[i + 1]);
        if (std::strcmp(argv[i], "--tap") == 0) gLine = std::strcmp(argv[i + 1], "line") == 0;
        if (std::strcmp(argv[i], "--run") == 0) gRun = std::max(1, std::atoi(argv[i + 1]));
    }
    const auto started = std::chrono::steady_clock::now();
    std::printf("FLEX sensitivity: %d frames of %d random pages per cell, half inverted, clock 0/+350/-420/+1000/-1000 ppm, "
                "DC offset\n",
                frames, kPagesPerFrame);
    if (gRun == 1) std::printf("each frame to a decoder of its own\n");
    else std::printf("%d frames in a row to one decoder\n", gRun);
    if (gWholeBand) std::printf("SNR = signal power / white noise power over 0..5512.5 Hz (quorvel-gen --snr)\n");
    else std::printf("SNR = signal power below the bit rate / noise power in 0..bit rate (as the POCSAG table)\n");
    std::printf("columns: exact/expected (%%), corrupt pages shown, missed, false pages\n\n");
    std::printf("| mode | SNR | exact | corrupt | missed | false |\n| --- | --- | --- | --- | --- | --- |\n");
    const double snrs[] = {INFINITY, 15.0, 12.0, 9.0, 6.0, 3.0, 0.0};
    std::uint64_t seed = 1000;
    // Cells draw seeds seed..seed+frames-1: no two cells send the same pages.
    const auto stride = static_cast<std::uint64_t>(std::max(100, frames));
    for (int m = 0; m < flex::ModeCount; ++m) {
        const Mode mode = static_cast<Mode>(m);
        if (!only.empty() && only != flex::Info(mode).name) {
            seed += stride * std::size(snrs);
            continue;
        }
        for (const double snr : snrs) {
            if (!std::isnan(onlySnr) && snr != onlySnr) {
                seed += stride;
                continue;
            }
            const FlexScore c = RunCell(mode, snr, frames, seed);
            seed += stride;
            char snrText[16];
            if (std::isfinite(snr)) std::snprintf(snrText, sizeof snrText, "%.0f dB", snr);
            else std::snprintf(snrText, sizeof snrText, "clean");
            std::printf("| %s | %s | %d/%d (%.1f %%) | %d | %d | %d |\n", flex::Info(mode).name, snrText, c.exact, c.expected,
                        100.0 * c.exact / std::max(1, c.expected), c.corrupt, c.expected - c.exact - c.corrupt,
                        c.falsePages);
            if (gShow)
                std::printf("  frames %lld, FIW rejected %lld, pages rejected %lld, noisy phases %lld, check mismatches %lld\n",
                            static_cast<long long>(gStats.frames), static_cast<long long>(gStats.fiwRejected),
                            static_cast<long long>(gStats.rejectedPages), static_cast<long long>(gStats.noisyPhases),
                            static_cast<long long>(gStats.checkMismatches));
            gStats = {};
            std::fflush(stdout);
        }
    }

    std::printf("\nFalse pages over %.0f s of each:\n", noiseSeconds);
    std::printf("  %-40s %s\n", "", "false pages (syncs found, FIWs read)");
    const auto report = [](const char* name, const NoiseResult& n) {
        std::printf("  %-40s %zu (%lld, %lld)\n", name, n.pages, static_cast<long long>(n.syncs),
                    static_cast<long long>(n.frames));
        std::fflush(stdout);
    };
    report("white noise", FalsePages(noiseSeconds, [](std::size_t c, std::size_t n) {
               std::vector<double> v(n, 0.0);
               gen::AddNoise(v, 3000.0 * 3000.0, 0.0, 100 + c);
               return v;
           }));
    for (const double rate : {512.0, 1200.0, 2400.0}) {
        char name[64];
        std::snprintf(name, sizeof name, "POCSAG traffic at %.0f bit/s", rate);
        report(name, FalsePages(noiseSeconds, [rate](std::size_t c, std::size_t n) {
                   std::vector<double> v = PocsagTraffic(n, rate, 9000.0, 200 + c);
                   gen::AddNoise(v, 9000.0 * 9000.0, 15.0, 300 + c);
                   return v;
               }));
    }
    report("FMS telegrams (15 dB)", FalsePages(noiseSeconds, [](std::size_t c, std::size_t n) {
               std::vector<double> v = FmsTraffic(n, 9000.0, 400 + c);
               gen::AddNoise(v, 9000.0 * 9000.0 / 2.0, 15.0, 401 + c);
               return v;
           }));
    report("five-tone sequences (15 dB)",
           FalsePages(noiseSeconds, [](std::size_t c, std::size_t n) { return ToneTableTraffic(80, n, 500 + c); }));
    report("speech-like noise", FalsePages(noiseSeconds, [](std::size_t c, std::size_t n) {
               std::vector<double> v = Babble(n, 3, 12000.0, 600 + c);
               gen::AddNoise(v, 1000.0 * 1000.0, 0.0, 700 + c);
               return v;
           }));
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("\n(%.0f s)\n", elapsed);
    return 0;
}
