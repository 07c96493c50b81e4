// POCSAG bit-rate tracking and bit slicing.
//
// In: IntervalRing, the run lengths of the front end (signed samples per run of
// equal bits, BreakMark after a long silence).
// Stage: second of the decoder. A free-running coarse bit period (4..25
// samples, 441..2756 bit/s at 11025 Hz) follows the runs, with octave
// corrections from a table of weights (how many recent runs were about 0, 1, 2,
// 3, 4+ periods long). When the coarse period has held still and the runs are
// clean, the transmission is acquired: the bit period is measured over the clean
// run, traced back to where it began. When the runs stop being clean the signal
// is lost, the transmission's bit rate is measured and a break is marked after
// the last clean stretch.
// Out: BitRing, one soft bit per bit period (+-1 confident, +-0.25 weak,
// BreakMark), SignalLost, the transmission's bit rate and bit count.
//
// Beyond the plain period tests, a signal only counts as clean while most
// recent runs fit a whole number of coarse periods (MisfitWeight), so noise
// with its runs of about four samples is never acquired as a 2400 bit/s signal.
#include <cmath>
#include <limits>

#include "pocsag.h"

namespace quorvel {

namespace {

// a = |e|, q = Nearest(a / P), the remainder a - q P and whether e fits P.
struct RunFit {
    double a;
    std::int32_t q;
    double r;
};

// Runs must mostly fit the coarse period for the signal to count as clean.
constexpr double MisfitLimit = 30.0;

// Longest run, in coarse periods, that still counts as clean signal. Valid
// calls hold long runs of equal bits: the sync codeword's three closing zeros
// and the address codeword of RIC 8 in frame 0 make 21 (RIC 0 with function 1:
// 23), a message codeword of zero bits or an alphanumeric message's zero fill
// 20. A limit of 20 periods lost such calls: the transmission ended at the run.
// 40 is the limit the acquisition and loss walks use for a clean run. Strictly
// below: a BreakMark (1000 samples) stays unclean at the largest coarse period
// of 25, so a break still ends a transmission.
constexpr double LongRunLimit = 40.0;

RunFit FitAgainst(double entry, double period) {
    RunFit f{};
    f.a = std::fabs(entry);
    f.q = RoundHalfEven(f.a / period);
    f.r = f.a - f.q * period;
    return f;
}

bool Fits(const RunFit& f, double period) {
    return f.q >= 1 && f.q <= 9 && std::fabs(f.r) / period < 0.25;
}

// RunBits counts bits of one clean run; a stuck steady tone for days must not
// overflow it.
void AddBits(std::int32_t& runBits, std::int32_t q) {
    if (runBits > std::numeric_limits<std::int32_t>::max() - q) {
        runBits = std::numeric_limits<std::int32_t>::max();
    } else {
        runBits += q;
    }
}

}  // namespace

void PocsagDecoder::PocsagTrackBitRate() {
    std::int32_t n = PocsagRingDistance(TrackRead, IntervalWrite);
    while (n > 0) {
        PocsagTrackEntry(IntervalRing[static_cast<std::size_t>(TrackRead)]);
        --n;
    }
    if (AveragePeriod > 0) AverageBitRate = RoundHalfEven(ctx_.SampleRate / AveragePeriod);
}

void PocsagDecoder::PocsagTrackEntry(double entry) {
    auto& W = MultipleWeights;
    // 1-3: follow the run with a tenth of its remainder.
    if (CoarsePeriod < 4) CoarsePeriod = 4;
    const double a = std::fabs(entry);
    {
        const std::int32_t q = RoundHalfEven(a / CoarsePeriod);
        const double r = q > 0 ? a - q * CoarsePeriod : 0.0;
        CoarsePeriod = CoarsePeriod + r / 10;
        if (CoarsePeriod < 4) CoarsePeriod = 4;
        if (CoarsePeriod > 25) CoarsePeriod = 25;
    }
    // 4: most runs look like two or more periods: the period is an octave low.
    if ((W[2] > 2 * W[1] || W[3] > 2 * W[1] || W[4] > 2 * W[1]) && CoarsePeriod < 12) {
        CoarsePeriod = 2 * CoarsePeriod;
        const auto w = W;
        W[0] = w[0] + w[1] / 2;
        W[1] = w[1] / 2 + w[2] + w[3] / 2;
        W[2] = w[3] / 2 + w[4];
        W[3] = 0;
        W[4] = 0;
    }
    // 5: more short glitches than single bits: the period is an octave high.
    if (W[0] > W[1] && CoarsePeriod > 8) {
        CoarsePeriod = CoarsePeriod / 2;
        const auto w = W;
        W[4] = w[2] / 2;
        W[3] = w[1] / 4 + w[2] / 4;
        W[2] = w[1] / 2;
        W[1] = w[0] / 2 + w[1] / 4;
        W[0] = w[0] / 2;
    }
    // 6-7: decay, and count this run by its number of periods.
    for (double& w : W) w = w * 0.98;
    {
        std::int32_t k = RoundHalfEven(a / CoarsePeriod);
        if (k > 4) k = 4;
        W[static_cast<std::size_t>(k)] = W[static_cast<std::size_t>(k)] + 2;
    }
    // Share of recent runs that fit no whole number of coarse periods (100 when
    // none fits). Noise, and the dither of a silent input, after the filter
    // gives runs of about four samples: the coarse period sits at its floor of
    // 4, the history test sees no movement there and the weights pass, so
    // without this test the tracker would acquire noise with a bit period of
    // 3.4..4.2 and keep it through a 2400 bit/s call that follows (4.59 samples
    // per bit), whose runs fit that wrong period well enough never to fail the
    // stability test again. Noise keeps this weight at 45..75; clean signals,
    // down to 10 dB, keep it below 20.
    {
        const RunFit f = FitAgainst(a, CoarsePeriod);
        MisfitWeight = MisfitWeight * 0.98 + (Fits(f, CoarsePeriod) ? 0.0 : 2.0);
    }
    // 8: history, element 199 the newest.
    PeriodHistory[static_cast<std::size_t>(HistoryStart)] = CoarsePeriod;
    HistoryStart = (HistoryStart + 1) % 200;

    // 9: stability test.
    const double h100 = PeriodHistoryAt(100);
    const double h199 = PeriodHistoryAt(199);
    const double hSum = h100 + h199;
    const bool steady = hSum > 0 && std::fabs(h100 - h199) / hSum <= 0.1;
    const bool clean = steady && W[1] / 4 >= W[0] && a < LongRunLimit * CoarsePeriod && MisfitWeight < MisfitLimit;
    if (!clean) {
        if (PocsagState > 0 && !SignalLost) {
            // Wide product: SampleRate x RunBits passes 2^31 after about 81 s of
            // clean 2400 bit/s signal.
            if (RunSamples > 0) TransmissionBitRate = static_cast<double>(ctx_.SampleRate) * RunBits / RunSamples;
            SignalLost = true;
            TransmissionBits = RunBits;
            if (PocsagState > 1) PocsagMarkRunEnd(TrackRead);
        }
        RunSamples = 0;
        RunBits = 0;
    }
    // 10: acquisition.
    if (RunBits > 50 && PocsagState == psSearchRate) {
        PocsagState = psFirstSync;
        BitRead = 0;
        BitWrite = 0;
        StartTime = ctx_.clock.LocalNow();
        BitPeriod = RunSamples / RunBits;
        PocsagFindRunStart();
        RunSamples = 0;
        RunBits = 0;
        PocsagAccumulateRun(RunStart, TrackRead);
        if (RunBits > 0) BitPeriod = RunSamples / RunBits;
    }
    // 11-12: count the run.
    if (PocsagState == psSearchRate) {
        const std::int32_t q = RoundHalfEven(a / CoarsePeriod);
        if (q >= 1 && q <= 9) {
            RunSamples = RunSamples + a;
            AddBits(RunBits, q);
        }
    } else {
        const RunFit f = FitAgainst(entry, BitPeriod);
        if (Fits(f, BitPeriod)) {
            RunSamples = RunSamples + f.a;
            AddBits(RunBits, f.q);
        }
    }
    // 13-14.
    TrackRead = (TrackRead + 1) % 1024;
    AveragePeriod = 0.99 * AveragePeriod + 0.01 * CoarsePeriod;
}

void PocsagDecoder::PocsagFindRunStart() {
    std::int32_t idx = TrackRead;
    double err = 0;
    double sum = 0;
    bool found = false;
    for (int i = 0; i < 500 && !found; ++i) {
        const RunFit f = FitAgainst(IntervalRing[static_cast<std::size_t>(idx)], BitPeriod);
        sum = sum + f.r;
        if (std::fabs(f.r) / BitPeriod > 0.25 || f.a < 2) {
            err = err + 1;
        } else {
            err = err * 0.99;
        }
        found = err > 10 || f.a > 40 * BitPeriod || std::fabs(sum) > 10;
        idx = (idx + 1023) % 1024;
    }
    if (found) {
        RunStart = idx;
        SliceRead = idx;
    }
}

void PocsagDecoder::PocsagMarkRunEnd(std::int32_t start) {
    std::int32_t idx = start;
    std::int32_t run = 0;
    bool found = false;
    for (int i = 0; i < 501 && !found; ++i) {
        const RunFit f = FitAgainst(IntervalRing[static_cast<std::size_t>(idx)], BitPeriod);
        if (std::fabs(f.r) / BitPeriod <= 0.25 && f.a >= 2 && f.a <= 40 * BitPeriod) {
            run = run + 1;
        } else {
            run = 0;
        }
        found = run > 10;
        idx = (idx + 1023) % 1024;
    }
    if (found) IntervalRing[static_cast<std::size_t>((idx + run + 1) % 1024)] = BreakMark;
}

void PocsagDecoder::PocsagAccumulateRun(std::int32_t first, std::int32_t end) {
    for (std::int32_t idx = first; idx != end; idx = (idx + 1) % 1024) {
        const RunFit f = FitAgainst(IntervalRing[static_cast<std::size_t>(idx)], BitPeriod);
        if (Fits(f, BitPeriod)) {
            RunSamples = RunSamples + f.a;
            AddBits(RunBits, f.q);
        }
    }
}

void PocsagDecoder::PocsagSliceBits() {
    std::int32_t n = PocsagRingDistance(SliceRead, IntervalWrite);
    while (n > 0) {
        const double e = IntervalRing[static_cast<std::size_t>(SliceRead)];
        const double s = e > 0 ? 1.0 : -1.0;
        const double a = std::fabs(e);
        const double end = IntervalEndSample[static_cast<std::size_t>(SliceRead)];
        auto put = [this](double bit, double at) {
            BitRing[static_cast<std::size_t>(BitWrite)] = bit;
            BitEndSample[static_cast<std::size_t>(BitWrite)] = at;
            BitWrite = (BitWrite + 1) % 1024;
        };
        if (a >= 1000) {
            put(BreakMark, end);
        } else {
            const std::int32_t q = RoundHalfEven(a / BitPeriod);
            for (std::int32_t k = 1; k < q; ++k) put(s, end - (q - k) * BitPeriod);
            put(std::fabs(a - q * BitPeriod) / BitPeriod <= 0.4 ? s : s / 4, end);
        }
        SliceRead = (SliceRead + 1) % 1024;
        --n;
    }
}

}  // namespace quorvel
