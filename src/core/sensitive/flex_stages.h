// The signal-processing stages of the FLEX decoder, each a small object with its
// state in view so that it can be driven and checked alone.
//
// The signal at 11025 Hz: a symbol lasts 6.89 samples at 1600 symbols/s and
// 3.45 samples at 3200 symbols/s, never a whole number. Discriminator output:
// NRZ levels (two: +-1; four: +-1 and +-1/3 of the outer deviation) rounded by
// the transmitter's and receiver's filters, with DC offset, either polarity.
//
// The stages, in the order the samples meet them (after a 0.5 Hz high-pass that
// takes off the static offset; the sample ring is the POCSAG decoder's,
// pocsag_stages.h):
//   SyncSearch   the filter matched to one 1600/s symbol (a moving mean over 7
//                samples), correlated with the 64-symbol window of sync 1 (A,
//                B, the first 16 of A inverted) for the four modes at once
//                (they share A's last 16 and B) in both polarities;
//                reports the best-matching place with its mode, polarity, the
//                time A began, and the level and DC the window shows.
//   PulseFilter  the Gaussian part of the symbol's shape: the samples through
//                it, integrated over one symbol, are the filter matched to it.
//   SymbolClock  integrates each symbol over the sample ring between its
//                fractional edges (with the pulse filter before it, the
//                matched filter for one symbol at any rate), and the window of one symbol centred on the boundary
//                before it; a PI loop on the transition timing error keeps
//                the clock centred through a frame (clock off by up to 1000 ppm).
//   Slicer       two or four levels, one symbol late: the spill of the
//                neighbours taken off, the decision, the soft values of the
//                symbol's bits (units of half the distance between levels,
//                > 0 a one) and decision-directed tracking of level, DC and
//                spill.
//   FrameBuffer  the soft bits of every phase of one frame by position;
//                gives each word de-interleaved with its soft values.
//   FragmentJoiner  alphanumeric fragments of one message (capcode, number)
//                joined in order across frames.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "core/events.h"
#include "flex_protocol.h"
#include "pocsag_stages.h"

namespace quorvel::flex {

constexpr double SampleRateHz = DefaultSampleRate;
constexpr double HeaderPeriod = SampleRateHz / HeaderRate;  // 6.890625 samples

struct SyncHit {
    Mode mode = Mode::M1600_2;
    bool inverted = false;
    double aStart = 0.0;     // absolute sample time at which A's first symbol began
    double amplitude = 0.0;  // outer level of the matched filter output
    double dc = 0.0;
    int errors = 0;          // symbols of the 64 decided wrongly
    double score = 0.0;      // |correlation| / 64
};

class SyncSearch {
public:
    static constexpr int Taps = 7;  // the moving mean: one 1600/s symbol
    static constexpr int History = 512;
    // Wrong symbols of 64 a window may have.
    static constexpr int MaxErrors = 8;
    // The shared symbols' correlation over mean |output| x their number that
    // makes the place worth a full look.
    static constexpr double Gate = 0.6;

    SyncSearch();
    // The next front-end sample, absolute index `index`. True when a sync was
    // found and its best place has passed; Hit() then tells.
    bool Step(double x, std::int64_t index);
    const SyncHit& Hit() const { return hit_; }
    void Reset();
    // The template of a mode's window (+1 a one in data polarity), first symbol first.
    static std::array<std::int8_t, SyncWindowSymbols> Window(Mode m);

private:
    std::array<double, History> mf_{};
    std::array<double, History> absMf_{};
    std::array<int, SyncWindowSymbols> lag_{};
    std::array<std::array<std::int8_t, SyncWindowSymbols>, ModeCount> templ_{};
    std::array<double, Taps> raw_{};
    double rawSum_ = 0.0;
    double absSum_ = 0.0;
    int span_ = 0;
    std::int64_t count_ = 0;
    bool candidate_ = false;
    std::int64_t candidateIndex_ = 0;
    SyncHit best_{};
    SyncHit hit_{};
    double At(std::int64_t index) const { return mf_[static_cast<std::size_t>(index & (History - 1))]; }
    double Common(std::int64_t index) const;
    void Evaluate(std::int64_t index, double common);
};

struct Symbol {
    double value = 0.0;  // mean of the samples over the symbol
    double mid = 0.0;    // mean over one period centred on the boundary before it
    double end = 0.0;    // absolute sample time of its end
};

class SymbolClock {
public:
    // Symbols of `period` samples, the first one beginning at time `start`.
    void Start(double start, double period);
    // Change the symbol rate at the current boundary, keeping the measured
    // clock error.
    void ChangeRate(double nominalPeriod);
    // The next symbol when the ring holds samples up to `available` (exclusive).
    bool Next(const sensitive::SampleRing& ring, std::int64_t available, Symbol& out);
    // Timing error of the last boundary in symbol periods (> 0: the clock is late).
    void Correct(double error);
    void SetGains(double proportional, double integral) {
        kp_ = proportional;
        ki_ = integral;
    }
    double Period() const { return period_; }
    double End() const { return end_; }
    // Measured clock error relative to nominal (> 0: symbols longer than nominal).
    double Drift() const { return period_ / nominal_ - 1.0; }
    static constexpr double MaxDrift = 0.002;

private:
    double nominal_ = HeaderPeriod;
    double period_ = HeaderPeriod;
    double end_ = 0.0;
    double kp_ = 0.05, ki_ = 0.001;
};

// Decides each symbol one symbol late, once the next is in: a Gaussian-shaped
// symbol spills into both neighbours (at 3200/s on four levels that is a good
// part of the distance between levels), so the spill of the decided symbol
// before and of the tentatively decided symbol after is taken off first. The
// spill factors, level and DC follow by least mean squares while the blocks
// run (Adapt), and stand still where the content is unknown (sync 2); the
// level can be held alone (HoldLevel).
class Slicer {
public:
    void Start(double dc, double amplitude, int levels);
    void SetLevels(int levels) { levels_ = levels; }
    int Levels() const { return levels_; }
    // Adaptation off, or on at `speed` times the normal rate.
    void SetAdapt(bool on, double speed = 1.0) {
        adapt_ = on;
        speed_ = speed;
    }
    // The level learnt so far held (DC and spill still follow).
    void HoldLevel() { holdLevel_ = true; }
    // The spill depends on the symbol rate: forget it when the rate changes.
    void ForgetSpill() { before_ = after_ = 0.0; }
    // Forget the symbols in the pipeline (a new section of the frame).
    void Restart();
    // Normalised value (+-1 the outer levels) of a matched filter value.
    double Normalise(double y) const { return (y - dc_) / amplitude_; }
    double Decide(double u) const;
    // The next symbol's matched filter value in; true when the one before
    // comes out: its value with the spill taken off, normalised, and its decision.
    bool Push(double y, double& u, double& decision);
    // The last symbol, with nothing after it.
    bool Flush(double& u, double& decision);
    // Soft values of a symbol's first and (four levels) second bit from its
    // normalised value (mirrored already when the signal is inverted), in units
    // of half the distance between levels, > 0 a one.
    void Soft(double u, float& first, float& second) const;
    double Amplitude() const { return amplitude_; }
    double Dc() const { return dc_; }
    void SetDc(double dc) { dc_ = dc; }
    double SpillBefore() const { return before_; }
    double SpillAfter() const { return after_; }

private:
    double dc_ = 0.0;
    double amplitude_ = 1.0;
    double before_ = 0.0, after_ = 0.0;
    int levels_ = 2;
    bool adapt_ = false;
    bool holdLevel_ = false;
    double speed_ = 1.0;
    bool pending_ = false;
    double pendingU_ = 0.0;
    bool havePrevious_ = false;
    double previous_ = 0.0;
    bool Out(double next, double& u, double& decision);
};

// The Gaussian part of a symbol's shape: the transmitter's premodulation
// filter (3 dB bandwidth about 0.8 x the symbol rate) and the receiver's IF
// (about 4 kHz) round the NRZ levels' edges. Smoothing the samples with it
// before integrating over each symbol makes the whole the filter matched to
// the shaped symbol (rectangle * Gaussian), about 0.3 dB better than the
// rectangle alone; the wider pulse spills more into its neighbours, which
// the slicer takes off. Its output comes Delay samples late.
class PulseFilter {
public:
    static constexpr int Delay = 4;
    // The shaping's standard deviation in samples at a symbol rate.
    static double ShapeSigma(int symbolRate);
    explicit PulseFilter(double sigmaSamples);
    double Step(double x);
    void Clear() { history_.fill(0.0); }

private:
    static constexpr int Length = 2 * Delay + 1;
    std::array<double, Length> taps_{};
    // The last Length samples twice over, so that they always lie in a row.
    std::array<double, 2 * Length> history_{};
    int at_ = 0;
};

// The receiver's line output (de-emphasis, the 300 Hz high-pass and the
// 3 kHz low-pass of its audio path: sensitive::LineImpulseResponse) taken
// back towards the discriminator's levels, so that the rest of the decoder
// can read it: the FIR of least mean squared error between its output and
// the levels Delay samples before, for random NRZ symbols at one rate and
// white noise at the line output (which it would raise where the path is
// weak: below 300 Hz, above 3 kHz). The delay lets it anticipate what the
// high-pass takes off after each edge.
class LineEqualiser {
public:
    static constexpr int Length = 256;
    static constexpr int Delay = 48;
    using TapArray = std::array<double, Length>;
    // The taps for symbols of `symbolPeriod` samples and noise power
    // `noiseToSignal` times the line output's signal power: a solve of
    // Length equations (about a millisecond), so designed once and shared.
    static TapArray Design(double symbolPeriod, double noiseToSignal);
    explicit LineEqualiser(const TapArray& taps) : taps_(taps) {}
    double Step(double x);
    void Clear();

private:
    TapArray taps_{};
    std::array<double, 2 * Length> history_{};
    int at_ = 0;
};

class FrameBuffer {
public:
    void Put(int phase, int position, float soft) {
        soft_[static_cast<std::size_t>(phase)][static_cast<std::size_t>(position)] = soft;
    }
    // Word w (0..87) of a phase, bit k = its k-th bit sent, de-interleaved,
    // with the soft values of its bits.
    std::uint32_t Word(int phase, int w, std::span<float, 32> soft) const;
    // Where bit k of word w stands in its phase's stream.
    static int Position(int w, int k) { return (w / WordsPerBlock) * 256 + k * WordsPerBlock + (w % WordsPerBlock); }
    // The noise variance of a phase's soft values at positions first ..
    // first + count - 1 about their clean magnitudes (1; or 1 and 3 for the
    // sign bits of four levels).
    double NoiseVariance(int phase, bool signOfFour, int first, int count) const;

private:
    std::array<std::array<float, BitsPerPhase>, 4> soft_{};
};

// Alphanumeric fragments joined in order. Fixed slots; a message whose next
// fragment does not come within MaxGapFrames, or comes out of order, is dropped.
class FragmentJoiner {
public:
    static constexpr int Slots = 8;
    static constexpr int MaxGapFrames = 32;
    enum class Result { Pending, Complete, Dropped };
    FragmentJoiner();
    // A fragment of (capcode, number) with its header's F and C, in the frame
    // counted `frameCount` (cycle x 128 + frame). Complete: the whole text is
    // in `text`, `fragments` and `corrected` summed.
    Result Add(std::uint64_t capcode, int number, int fragmentCode, bool more, int frameCount, const std::string& part,
               int corrected, std::string& text, int& fragments, int& totalCorrected);
    // Drop messages not continued within MaxGapFrames of `frameCount`; returns how many.
    int Expire(int frameCount);
    int Open() const;
    // Forget every waiting message; returns how many there were.
    int Clear();

private:
    struct Slot {
        bool used = false;
        std::uint64_t capcode = 0;
        int number = 0;
        int count = 0;  // fragments so far
        int lastFrame = 0;
        int corrected = 0;
        std::string text;
    };
    std::array<Slot, Slots> slots_{};
};

}  // namespace quorvel::flex
