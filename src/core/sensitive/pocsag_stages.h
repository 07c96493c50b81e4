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
//                   correlates with the receiver's audio response (the filter
//                   matched to the channel; its output lags by LineDelay samples).
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
//                   line output the bit's integral over the channel-matched
//                   signal goes to a LineTrellis, and the clock's timing error
//                   is measured against what the trellis's bits make expected.
//   LineTrellis     line output: the bits are smeared over their neighbours by
//                   the receiver's audio filters in a way the decoder knows, so
//                   the most likely bit sequence is found by a Viterbi search
//                   over the matched filter values (a known intersymbol
//                   interference of up to Memory bits either side); each bit is
//                   decided Delay bits later, with a soft value from its own
//                   matched filter value once its neighbours are taken out.
//   SyncErrors      wrong bits between a 32-bit word and the synchronisation
//                   codeword in either polarity.
//   BchCorrector    a received codeword with the soft values of its bits in, the
//                   nearest valid codeword out when it is within two wrong bits
//                   (parity bit included), or after flipping some of the least
//                   reliable bits; otherwise the word is marked uncorrectable.
#pragma once

#include <array>
#include <cstdint>

#include "core/biquad.h"
#include "core/common.h"
#include "core/pocsag_words.h"

namespace quorvel::sensitive {

constexpr double SampleRateHz = DefaultSampleRate;
constexpr std::uint32_t Sync = SyncCodeword;
constexpr std::uint32_t Idle = IdleCodeword;

using dsp::Biquad;

// Filters at SampleRateHz (core/biquad.h).
inline Biquad BandPass(double centreHz, double q) { return dsp::BandPass(centreHz, q, SampleRateHz); }
inline Biquad ButterworthHighPass(double cornerHz) { return dsp::ButterworthHighPass(cornerHz, SampleRateHz); }
inline Biquad ButterworthLowPass(double cornerHz) { return dsp::ButterworthLowPass(cornerHz, SampleRateHz); }
inline Biquad FirstOrderLowPass(double cornerHz) { return dsp::FirstOrderLowPass(cornerHz, SampleRateHz); }
inline Biquad FirstOrderHighPass(double cornerHz) { return dsp::FirstOrderHighPass(cornerHz, SampleRateHz); }

// Sum of a[i] x b[i] over i < n, n a multiple of 4 (the FIR filters' inner
// loop): four sums keep the additions independent.
inline double Dot(const double* a, const double* b, int n) {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    for (int i = 0; i < n; i += 4) {
        s0 += a[i] * b[i];
        s1 += a[i + 1] * b[i + 1];
        s2 += a[i + 2] * b[i + 2];
        s3 += a[i + 3] * b[i + 3];
    }
    return (s0 + s1) + (s2 + s3);
}

enum class Characteristic { Discriminator, LineOutput };

// The receiver's audio path on the line output as the decoder assumes it:
// de-emphasis (first-order low-pass, 300 Hz), the sub-audio high-pass
// (second-order Butterworth, 300 Hz) and the audio low-pass (second-order
// Butterworth, 3 kHz). Its impulse response at SampleRateHz, `LineResponseLength`
// samples (the rest is below 1e-5 of the energy).
constexpr int LineResponseLength = 96;
std::array<double, LineResponseLength> LineImpulseResponse();

class FrontEnd {
public:
    // Taps of the line output's matched filter: 99 % of the response's energy.
    static constexpr int LineTaps = 32;
    // Line output: the output at sample n is the matched filter at n - LineDelay.
    static constexpr int LineDelay = LineTaps - 1;

    explicit FrontEnd(Characteristic c = Characteristic::Discriminator) { Configure(c); }
    void Configure(Characteristic c);
    Characteristic Which() const { return which_; }
    double Step(double x);
    double Envelope() const { return envelope_; }

private:
    Characteristic which_ = Characteristic::Discriminator;
    Biquad dcBlock_;
    double envelope_ = 0.0;
    std::array<double, LineTaps> taps_{};           // the response, first sample first
    std::array<double, 2 * LineTaps> history_{};    // the last LineTaps inputs, twice over
    int at_ = 0;
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

// Line output: the matched filter value of bit k (its integral over the
// front end's output) is u_k = sum over d of Rho(d) b_(k-d) + noise, b = +-1,
// in units of the signal's amplitude. A Viterbi search over the last StateBits
// bits, each survivor taking its own older bits (up to Memory) into account,
// finds the most likely bits.
class LineTrellis {
public:
    static constexpr int StateBits = 4;
    static constexpr int States = 1 << StateBits;
    static constexpr int Memory = 12;
    // Bits between a value going in and its bit being decided.
    static constexpr int Delay = 24;

    // The interference for this bit period (samples).
    void Configure(double period);
    // The integral over a window of `window` samples (0: one bit period)
    // centred `offset` samples after the centre of a +1 bit, of that bit's
    // part of the matched signal, per unit amplitude. Rho(d) = Overlap(d * period).
    double Overlap(double offset, double window = 0.0) const;
    double Rho(int d) const { return rho_[static_cast<std::size_t>(d < 0 ? -d : d)]; }
    double Period() const { return period_; }
    // Start afresh after a preamble whose last bit was `lastOne` (+1) or not.
    void Reset(bool lastOne);
    // The next bit's value u (matched filter value over amplitude).
    void Step(double u);
    // The best survivor: bit i = the bit decided i steps back (1 = +1), bit 0
    // the one just put in.
    std::uint64_t Best() const { return path_[static_cast<std::size_t>(best_)]; }
    // Sum of Rho(d) b over d = 1..Memory of the bits before bit `i` of `path`
    // and, when `withLater`, of the Memory bits after it as well (i >= Memory).
    double Interference(std::uint64_t path, int i, bool withLater) const;

private:
    double period_ = 10.0;
    // The matched signal's response to a unit impulse of input, by lag.
    std::array<double, LineResponseLength + FrontEnd::LineTaps - 1> response_{};
    std::array<double, Memory + 1> rho_{};
    // Interference of bits 1..6 and 7..12 before a bit, by those bits (the
    // nearest lowest), and of bits 1..6 and 7..12 after it (the nearest highest).
    std::array<double, 64> nearTable_{};
    std::array<double, 64> farTable_{};
    std::array<double, 64> nearLaterTable_{};
    std::array<double, 64> farLaterTable_{};
    std::array<double, States> metric_{};
    std::array<std::uint64_t, States> path_{};
    int best_ = 0;
};

struct SoftBit {
    double value = 0.0;  // > 0: a one as received; about +-1 for a clean bit
    double time = 0.0;   // absolute sample time of the end of the bit
    // Line output: what the decided bits make expected of this bit's matched
    // filter value, squared, and the value found times the value expected
    // (both over the square of a lone bit's). Over a stretch of signal the
    // two sums agree; over silence the decided bits are one long run, whose
    // expected values are zero.
    double expected = 0.0;
    double fit = 0.0;
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
    // Line output: bits through the LineTrellis (the samples are the front
    // end's line output, matched to the receiver's audio path).
    void SetLineModel(bool on) { line_ = on; }

    double Period() const { return period_; }
    double NominalPeriod() const { return nominal_; }
    // The end of the last bit given (absolute sample time of the input).
    double BitEnd() const { return line_ ? lastOut_ : end_; }
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
    // Line output: the trellis, the matched filter values and end times of the
    // bits it has not decided yet (by bit number), the expected integral across
    // a boundary per neighbouring bit, and its slope against the clock's error.
    LineTrellis trellis_;
    std::array<double, 64> values_{};
    std::array<double, 64> ends_{};
    std::int64_t lineBits_ = 0;
    std::array<double, 2 * LineTrellis::Memory + 4> across_{};
    // The expected value at the boundary by the best survivor's bits 0..7 and 8..14.
    std::array<double, 256> acrossNear_{};
    std::array<double, 128> acrossFar_{};
    double acrossSlope_ = 1.0;
    double lastOut_ = 0.0;
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
