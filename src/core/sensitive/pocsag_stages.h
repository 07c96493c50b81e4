// The signal-processing stages of the sensitive POCSAG decoder, each a small
// object with its state in plain view so that it can be driven and checked alone.
//
// The signal: POCSAG is two-level NRZ data at any rate from about 441 to 2756
// bit/s (512, 1200 and 2400 in use), sampled here at 11025 Hz, so one bit lasts
// 25 down to 4 samples and rarely a whole number of them. A transmission is a
// preamble of alternating bits (a square wave at half the bit rate), then batches
// of 17 codewords of 32 bits: the synchronisation codeword 0x7CD215D8 and sixteen
// codewords, two per frame 0..7. A codeword is sent bit 31 first: 21 information
// bits, ten BCH(31,21) check bits (generator 0x769) and an even parity bit. The
// receiver may deliver every bit inverted, with DC offset and slow drift
// (discriminator output) or through its audio filters (line output: de-emphasis
// and a 300 Hz high-pass make every edge a peak that droops back).
//
// The stages, in the order the samples meet them:
//   FrontEnd        sample in, sample out: removes DC and drift, limits spikes to a
//                   few times the running envelope, and for the line output
//                   undoes the receiver's de-emphasis (up to 3 kHz).
//   SampleRing      the front end's output with absolute sample indices; gives
//                   the integral over any stretch of time (the filter matched to
//                   one bit is the integral over one bit period).
//   PreambleChannel one band of bit rates: band-pass at half the bit rate, zero
//                   crossings, and a preamble when 32 consecutive half-periods
//                   agree; gives the measured bit period.
//   BitClock        locks on the preamble (phase chosen where the matched filter
//                   output is largest) and tracks the bit clock with a
//                   zero-crossing timing error detector and a PI loop (so a clock
//                   off nominal by several hundred ppm stays centred); removes
//                   the remaining DC by decision feedback; gives one soft bit per
//                   bit period (+1 = a clean one, -1 = a clean zero). On the
//                   line output each bit is matched to its response through the
//                   receiver's high-pass and the decided bits' part of the
//                   baseline wander is taken out before the decision.
//   SyncErrors      wrong bits between a 32-bit word and the synchronisation
//                   codeword in either polarity.
//   BchCorrector    a received codeword with the soft values of its bits in, the
//                   nearest valid codeword out when it is within two wrong bits
//                   (parity bit included), or after flipping some of the least
//                   reliable bits; otherwise the word is marked uncorrectable.
#pragma once

#include <array>
#include <cstdint>

namespace quorvel::sensitive {

constexpr double SampleRateHz = 11025.0;
constexpr std::uint32_t Sync = 0x7CD215D8u;
constexpr std::uint32_t Idle = 0x7A89C197u;

// Second-order section, direct form I.
struct Biquad {
    double b0 = 1.0, b1 = 0.0, b2 = 0.0, a1 = 0.0, a2 = 0.0;
    double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;
    double Step(double x) {
        const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        return y;
    }
    void Clear() { x1 = x2 = y1 = y2 = 0.0; }
};

// Filters by the bilinear transform at SampleRateHz.
Biquad BandPass(double centreHz, double q);
Biquad ButterworthHighPass(double cornerHz);
Biquad FirstOrderLowPass(double cornerHz);
Biquad FirstOrderHighPass(double cornerHz);

enum class Characteristic { Discriminator, LineOutput };

class FrontEnd {
public:
    explicit FrontEnd(Characteristic c = Characteristic::Discriminator) { Configure(c); }
    void Configure(Characteristic c);
    Characteristic Which() const { return which_; }
    double Step(double x);
    double Envelope() const { return envelope_; }

private:
    Characteristic which_ = Characteristic::Discriminator;
    Biquad dcBlock_;
    Biquad undoDeEmphasis_;
    double envelope_ = 0.0;
};

class SampleRing {
public:
    static constexpr std::int64_t Size = 4096;
    void Put(std::int64_t index, double v) { data_[static_cast<std::size_t>(index & (Size - 1))] = v; }
    double At(std::int64_t index) const { return data_[static_cast<std::size_t>(index & (Size - 1))]; }
    // Integral of the samples from time a to time b (sample k holds from k to
    // k + 1); the caller keeps both within the last Size samples written.
    double Integral(double a, double b) const;

private:
    std::array<double, Size> data_{};
};

// One band of bit periods [minPeriod, maxPeriod] in samples.
class PreambleChannel {
public:
    void Configure(double minPeriod, double maxPeriod);
    // One sample at absolute index `index`. True when a preamble has just been
    // seen; Period() then holds the measured bit period in samples.
    bool Step(double x, std::int64_t index);
    double Period() const { return period_; }
    double MinPeriod() const { return minPeriod_; }
    double MaxPeriod() const { return maxPeriod_; }
    void Reset();

    static constexpr int RunToDetect = 32;

private:
    Biquad filter_;
    double minPeriod_ = 4.0, maxPeriod_ = 25.0;
    double previous_ = 0.0;
    double lastCrossing_ = -1.0;
    double runStart_ = 0.0;
    int run_ = 0;
    double period_ = 0.0;
};

struct SoftBit {
    double value = 0.0;  // > 0: a one as received; about +-1 for a clean bit
    double time = 0.0;   // absolute sample time of the end of the bit
};

class BitClock {
public:
    // Lock on a preamble that was seen up to sample `now` with bit period
    // `period`: choose the phase, the DC and the amplitude from the last 24
    // bit periods. The first bit it then gives ends about `lookBack` bits
    // before `now`.
    void Lock(const SampleRing& ring, std::int64_t now, double period, int lookBack = 16);
    // The next bit, when the samples up to `end` (exclusive) hold it.
    bool Next(const SampleRing& ring, std::int64_t end, SoftBit& out);
    // Loop gains: wide while acquiring, narrow once a transmission is framed.
    void SetTracking(bool tracking) { tracking_ = tracking; }
    // DC follows faster or slower.
    void SetDcRate(double rate) { dcRate_ = rate; }
    // Line output: each bit is matched to its response through the receiver's
    // 300 Hz high-pass, and what that high-pass took from the bits already
    // decided is put back (decision feedback).
    void SetLineModel(bool on);

    double Period() const { return period_; }
    double NominalPeriod() const { return nominal_; }
    double BitEnd() const { return end_; }
    double Dc() const { return dc_; }
    double Amplitude() const { return amplitude_; }
    // The last timing error, in bit periods (positive: the clock was early).
    double LastTimingError() const { return lastError_; }

private:
    double nominal_ = 10.0;
    double period_ = 10.0;
    double end_ = 0.0;
    double dc_ = 0.0;
    double amplitude_ = 1.0;
    double previous_ = 0.0;
    double lastError_ = 0.0;
    double dcRate_ = 0.02;
    bool tracking_ = false;
    bool line_ = false;
    Biquad model_;                       // the high-pass driven by the decided bits
    std::array<double, 64> restored_{};  // line output: the signal with the decided bits' loss put back
    bool NextLine(const SampleRing& ring, std::int64_t end, SoftBit& out);
};

// Wrong bits between `word` and the sync codeword, as received and complemented.
struct SyncMatch {
    int errors = 33;
    bool inverted = false;
};
SyncMatch SyncErrors(std::uint32_t word);

// The 10-bit BCH(31,21) syndrome of bits 31..1.
std::uint32_t Syndrome(std::uint32_t cw);

struct Correction {
    std::uint32_t word = 0;   // corrected (or as received when !ok)
    bool ok = false;
    int flipped = 0;          // bits changed
    bool soft = false;        // found only by flipping unreliable bits
    double cost = 0.0;        // sum of |soft value| of the changed bits
};

class BchCorrector {
public:
    BchCorrector();
    // Hard decision: up to two wrong bits anywhere in the 32.
    Correction Hard(std::uint32_t word) const;
    // With the soft values of bits 31..0 (index 0 = bit 31): hard decision
    // first; when that fails or needs two changes, also candidates that flip
    // some of the least reliable bits first; the cheapest wins.
    Correction Soft(std::uint32_t word, const std::array<double, 32>& soft) const;

    static constexpr int ChaseBits = 5;
    // A soft result is accepted only when it changes at most this many bits.
    static constexpr int MaxSoftFlips = 4;

private:
    // By syndrome: the bits (over bits 31..1) of the one or two wrong bits, 0 none.
    std::array<std::uint32_t, 1024> pattern_{};
};

}  // namespace quorvel::sensitive
