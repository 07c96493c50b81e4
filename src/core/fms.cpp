// FMS frequency tracking and frame detection: from the samples of one block to
// 48-bit blocks in TelegramBits.
//
// The signal here is the receiver's audio of 1200 bit/s FSK ("1" = 1200 Hz, two
// half-cycles per bit; "0" = 1800 Hz, three half-cycles per bit). Each
// half-cycle between two zero crossings becomes one frequency estimate in
// FreqRing; the detector reads that ring: preamble (a run of 1200 Hz), sync word
// (matched by least squares), then 48 bits at a time, each handed to the writer
// in fms_text.cpp.
#include <cmath>

#include "fms.h"

namespace quorvel {

namespace {

// Ring index modulo 1024 in 0..1023, also for a negative index (two's
// complement: the low ten bits are the residue).
constexpr std::int32_t Wrap(std::int32_t index) { return index & (FmsDecoder::RingSize - 1); }
static_assert((FmsDecoder::RingSize & (FmsDecoder::RingSize - 1)) == 0);
static_assert(Wrap(-5) == 1019 && Wrap(1024) == 0 && Wrap(1023) == 1023);

// The sync word 0x1A from its most significant bit (0 0 0 1 1 0 1 0), each "0"
// as three half-cycles of 1800 Hz and each "1" as two of 1200 Hz.
constexpr std::array<std::int32_t, 21> SyncPattern = {
    1800, 1800, 1800, 1800, 1800, 1800, 1800, 1800, 1800, 1200, 1200,
    1200, 1200, 1800, 1800, 1800, 1200, 1200, 1800, 1800, 1800,
};

// More than this many estimates unread always hold a whole 48-bit block (at
// most 48 x 3 estimates).
constexpr std::int32_t SliceThreshold = 160;
constexpr std::int32_t SyncWaitThreshold = 200;

}  // namespace

void FmsDecoder::FmsProcessBlock() {
    FmsConditionBlock();
    FmsTrackFrequency();
    if (FmsState < fsSearchSync) FmsSearchPreamble();

    if (gapBreak_ && (FmsState == fsPreambleFound || FmsState == fsSearchSync)) {
        // A break after the preamble: nothing more of this transmission will
        // come, so do not wait for it. The sync search reads SyncWindow
        // estimates; it runs now if they all lie before the break, else the
        // preamble is dropped and the search resumes after the break.
        const std::int32_t b = FmsBreakDistance();
        if (b >= 0) {
            if (b >= SyncWindow) {
                FmsState = fsSearchSync;
            } else {
                FreqRead = Wrap(FreqRead + b);
                FmsState = fsSearchPreamble;
            }
        }
    }

    if (FmsState == fsSearchSync) FmsSearchSync();
    if (FmsState > fsPreambleFound) ctx_.ActivityLine.Set("FMS");

    while (FmsState == fsTelegram) {
        const std::int32_t b = gapBreak_ ? FmsBreakDistance() : -1;
        if (b > SliceThreshold || (b < 0 && FmsRingDistance() > SliceThreshold)) {
            FmsSliceTelegram();
        } else if (b >= 0) {
            // The rest of the transmission lies before the break: the block is
            // cut from what there is, and a bit past it is undecided.
            FmsSliceTelegram(b);
        } else {
            break;  // wait for more estimates
        }
        FmsWriteTelegram();
    }
}

void FmsDecoder::FmsConditionBlock() {
    const double dc = ctx_.stats.DcOffset.load(std::memory_order_relaxed);
    for (std::size_t i = 0; i < FmsBlock.size(); ++i) {
        const double r = ctx_.NextRandom();
        FmsBlock[i] = (r + (ctx_.SampleBlock[i] - dc)) - 0.5;
    }
}

void FmsDecoder::FmsTrackFrequency() {
    const double rate = static_cast<double>(ctx_.SampleRate);
    // Samples since the last crossing beyond which the gap is a break.
    const double breakSamples = gapBreak_ ? BreakBitPeriods * rate / 1200.0 : INFINITY;
    // Written without branches on the data: noise crosses zero at random, and
    // a mispredicted branch per sample costs more than the two divisions. What
    // is computed for a sample without a crossing is discarded.
    std::int32_t write = FreqWrite;
    double prev = PrevSample;
    double since = SinceCrossing;
    bool breakAtWrite = BreakAtWrite;
    for (const double x : FmsBlock) {
        const bool crossing = !(x * prev > 0.0);
        const double a = std::fabs(prev);
        double d = a + std::fabs(x);
        d = d < 1.0 ? 1.0 : d;
        const double e = a / d;
        const double h = since - 1.0 + e;
        // h is 0 only after a sample of exactly 0.0 that followed one of
        // magnitude 1.0 or more: no half-period to measure, no estimate.
        const bool store = crossing && h != 0.0;
        const double f = (rate / h) / 2.0;
        const auto slot = static_cast<std::size_t>(write);
        FreqRing[slot] = store ? f : FreqRing[slot];
        BreakBefore[slot] = store ? static_cast<std::uint8_t>(breakAtWrite) : BreakBefore[slot];
        breakAtWrite = breakAtWrite && !store;
        write = Wrap(write + (store ? 1 : 0));
        since = crossing ? 1.0 - e : since;
        prev = x;
        since = since + 1.0;
        breakAtWrite = breakAtWrite || since - 1.0 > breakSamples;
    }
    FreqWrite = write;
    PrevSample = prev;
    SinceCrossing = since;
    BreakAtWrite = breakAtWrite;
}

std::int32_t FmsDecoder::FmsBreakDistance() const {
    const std::int32_t n = FmsRingDistance();
    for (std::int32_t j = 0; j < n; ++j)
        if (BreakBefore[static_cast<std::size_t>(Wrap(FreqRead + j))] != 0) return j;
    return BreakAtWrite ? n : -1;
}

void FmsDecoder::FmsSearchPreamble() {
    const std::int32_t n = FmsRingDistance();
    std::int32_t i = 0;
    std::int32_t run = 0;
    if (FmsState == fsSearchPreamble) {
        do {
            const double m = (std::fabs(FreqRing[static_cast<std::size_t>(Wrap(FreqRead + i))]) +
                              std::fabs(FreqRing[static_cast<std::size_t>(Wrap(FreqRead + i + 1))])) /
                             2.0;
            i = i + 1;
            if (m > 1100.0 && m < 1300.0) {
                run = run + 1;
            } else {
                run = 0;
            }
        } while (!(run > 10 || i >= n));
        if (run > 10) {
            FreqRead = Wrap(FreqRead + i);
            FmsState = fsPreambleFound;
        }
    }
    if (FmsState == fsSearchPreamble) {
        // Keep the last 20 estimates for the next block's search.
        FreqRead = Wrap(FreqRead + n - 20);
    }
    if (FmsState == fsPreambleFound && n - i > SyncWaitThreshold) FmsState = fsSearchSync;
}

void FmsDecoder::FmsSearchSync() {
    std::array<double, 26> error{};
    for (std::int32_t o = 0; o < 26; ++o) {
        double s = 0.0;
        for (std::int32_t k = 0; k < 21; ++k) {
            const double diff = static_cast<double>(SyncPattern[static_cast<std::size_t>(k)]) -
                                FreqRing[static_cast<std::size_t>(Wrap(FreqRead + o + k))];
            s += diff * diff;
        }
        error[static_cast<std::size_t>(o)] = RoundHalfEvenValue(s / 1000.0);
    }
    std::int32_t best = 0;
    for (std::int32_t o = 1; o < 26; ++o)
        if (error[static_cast<std::size_t>(o)] < error[static_cast<std::size_t>(best)]) best = o;
    FreqRead = Wrap(FreqRead + best + 21);
    if (3.0 * error[static_cast<std::size_t>(best)] < error[0]) {
        FmsState = fsTelegram;
        BlockCount = 0;
    } else {
        FmsState = fsSearchPreamble;
    }
}

void FmsDecoder::FmsSliceTelegram(std::int32_t limit) {
    TelegramBits.fill(2);
    std::int32_t a = 0;
    for (std::size_t k = 0; k < TelegramBits.size(); ++k) {
        const double f0 = std::fabs(FreqRing[static_cast<std::size_t>(Wrap(FreqRead + a))]);
        const double f1 = std::fabs(FreqRing[static_cast<std::size_t>(Wrap(FreqRead + a + 1))]);
        const double f2 = std::fabs(FreqRing[static_cast<std::size_t>(Wrap(FreqRead + a + 2))]);
        const double m2 = (f0 + f1) / 2.0;
        const double m3 = (f0 + f1 + f2) / 3.0;
        const std::int32_t available = limit - a;  // estimates left before a break
        std::uint8_t bit = 2;
        if (available >= 3 && f0 > 1300.0 && f1 > 1300.0 && f2 > 1300.0 && m3 > 1500.0) {
            bit = 0;
            a = a + 3;
        } else if (available >= 2 && f0 < 1700.0 && f1 < 1700.0 && m2 < 1500.0) {
            bit = 1;
            a = a + 2;
        } else if (available >= 1) {
            a = a + 1;
        }
        TelegramBits[k] = bit;
    }
    FreqRead = Wrap(FreqRead + a);
}

}  // namespace quorvel
