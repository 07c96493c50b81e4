// The sensitive FMS decoder: matched correlators instead of zero crossings, the
// sync word found by correlation, and every telegram checked.
//
// The signal: FMS telegrams are 1200 bit/s continuous-phase FSK in the
// receiver's audio, a "1" bit one full cycle of 1200 Hz, a "0" bit one and a
// half cycles of 1800 Hz, the phase running on across bit edges. At 11025
// samples per second a bit lasts 147/16 = 9.1875 samples; both tones repeat
// after 147 samples. A transmission is a run of "1" bits (the preamble), the
// sync word 0 0 0 1 1 0 1 0, a 48-bit status telegram, then any follow-on text
// blocks of 48 bits each. In every block bits 0..39 are data, 40..46 the check
// bits (the remainder of the data bits, bit 0 the highest power, times x^7
// modulo x^7 + x^6 + x^2 + 1, highest power first) and bit 47 is 0. Field
// layout: see fms.h.
//
// Stages, each an object whose state is in view:
//   FmsFrontEnd        in: the 16-bit samples of each block. DC removed (a
//                      one-pole estimate, corner about 14 Hz), every sample
//                      mixed with 1200 Hz and 1800 Hz at its absolute phase,
//                      and running sums of the products and of the squared
//                      samples kept per block for the last four blocks.
//                      Out: the correlation of any recent stretch of samples
//                      with either tone, and its energy, at constant cost.
//   FmsSyncCorrelator  in: the front end. For every sample the normalised
//                      non-coherent correlation of the last four preamble bits
//                      and the sync word ending there (1 for a clean signal,
//                      about 2/110 for noise; level, phase and DC free, and
//                      little changed by twist between the tones). Out: the
//                      peak above the threshold, refined to a fraction of a
//                      sample, and the phase reference it gives. The decoder
//                      takes a peak only when the template's 1200 Hz bits and
//                      its 1800 Hz bits each fit on their own (a steady tone
//                      fills one half only) and its bits, taken one by one,
//                      hold their own tone (a tone changing to another, as in
//                      five-tone calls, does not).
//   FmsBitDetector     in: the front end, the start of the first bit and the
//                      phase reference. Correlators matched to one bit at both
//                      tones; each bit decided by the best of eight hypotheses
//                      for it and the next two bits, scored against a
//                      decision-directed phase reference (a "0" turns the
//                      phase by half a cycle, a "1" keeps it). Bit timing is
//                      tracked every 8 bits from the last 16 decided bits
//                      correlated a sample early and late (follows clocks
//                      500 ppm off, and 0.5 % with a lag). Out: bits 0/1 and
//                      a per-block quality (the share of the energy that the
//                      decided tones hold).
//   SensitiveFmsDecoder: blocks of 48 bits, each checked (FmsCheckOf); events.
//
// What comes out, as the specified decoder emits it: FmsTelegram for the status
// telegram, FmsTextBlock per follow-on block, FmsTextEnd when a follow-on text
// that had begun ends. Every emitted block passed its check (check = Ok, every
// bit decided). A block that fails its check, in which the decided tones hold
// too little of the energy or too many decisions were weak, is dropped, and so
// is a status telegram whose data bits repeat a pattern of up to 8 bits (all
// zeros, all ones, a byte over and over: what tones read as bits give, and 7
// check bits pass one such candidate in 128): a failed status telegram gives
// no event at all, a failed follow-on block ends the text.
//
// No allocation after construction; no draws from NextRandom.
#pragma once

#include <array>
#include <cstdint>

#include "core/processing.h"
#include "core/registry.h"

namespace quorvel {
namespace fms_sensitive {

// A complex number with plain arithmetic (no library calls per operation).
struct Cx {
    double re = 0.0;
    double im = 0.0;
};
inline Cx operator+(Cx a, Cx b) { return {a.re + b.re, a.im + b.im}; }
inline Cx operator-(Cx a, Cx b) { return {a.re - b.re, a.im - b.im}; }
inline Cx operator*(Cx a, Cx b) { return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }
inline Cx operator*(double s, Cx a) { return {s * a.re, s * a.im}; }
inline double Norm(Cx a) { return a.re * a.re + a.im * a.im; }

namespace fms {

constexpr double SampleRate = DefaultSampleRate;
constexpr double BitSamples = 147.0 / 16.0;  // 11025 / 1200
constexpr std::int32_t TonePeriod = 147;     // samples after which both tones repeat
enum Tone : std::int32_t { Zero = 0, One = 1 };  // 1800 Hz, 1200 Hz
constexpr std::array<double, 2> ToneHz = {1800.0, 1200.0};

}  // namespace fms

class FmsFrontEnd {
public:
    static constexpr std::int32_t HistoryBlocks = 4;
    static constexpr std::int64_t HistorySamples = HistoryBlocks * FramesPerBlock;

    FmsFrontEnd();
    // Appends one block of samples.
    void Process(const SampleArray& block);
    // Samples processed so far (the absolute index of the next one).
    std::int64_t End() const { return end_; }
    // The oldest sample still held.
    std::int64_t Oldest() const { return end_ > HistorySamples ? end_ - HistorySamples : 0; }
    // Sum over samples first..last (absolute indices, both held) of
    // y(n) e^(-j 2 pi f n / 11025), f the tone's frequency.
    Cx ToneSum(std::int32_t tone, std::int64_t first, std::int64_t last) const;
    // Sum of y(n)^2 over first..last.
    double EnergySum(std::int64_t first, std::int64_t last) const;
    double Dc() const { return dc_; }

private:
    template <class T>
    static T RangeSum(const std::array<std::array<T, FramesPerBlock>, HistoryBlocks>& running,
                      std::int64_t first, std::int64_t last);

    std::array<std::array<double, fms::TonePeriod>, 2> cos_{};
    std::array<std::array<double, fms::TonePeriod>, 2> sin_{};
    // Running sums since the start of each block (the last four blocks).
    std::array<std::array<std::array<Cx, FramesPerBlock>, HistoryBlocks>, 2> tone_{};
    std::array<std::array<double, FramesPerBlock>, HistoryBlocks> energy_{};
    double dc_ = 0.0;
    std::int32_t phase_ = 0;  // end_ modulo 147
    std::int64_t end_ = 0;
};

// Per-bit correlation of one bit at both tones, phase referred to the bit's start.
struct FmsBitCorrelation {
    std::int64_t first = 0;  // the samples of the bit
    std::int64_t last = -1;
    std::array<Cx, 2> phasor{};  // e^(j 2 pi f t / 11025) at the bit's start t, per tone
    std::array<Cx, 2> c{};       // per tone
    double energy = 0.0;
};

// The correlation of the bit starting at t (a fractional sample index).
FmsBitCorrelation CorrelateBit(const FmsFrontEnd& fe, double t);
// The same with the phasors given (t only places the window), the window
// shifted by `shift` samples.
void CorrelateBitWith(const FmsFrontEnd& fe, double t, std::int64_t shift, FmsBitCorrelation& out);

class FmsSyncCorrelator {
public:
    // Preamble bits in front of the sync word that the template holds.
    static constexpr std::int32_t PreambleBits = 4;
    static constexpr std::int32_t TemplateBits = PreambleBits + 8;
    static constexpr double Threshold = 0.30;

    FmsSyncCorrelator();
    // Normalised correlation (0..1) of the template ending at sample n (the
    // first telegram bit would start at n). Needs samples n - 111 .. n - 1.
    double Score(const FmsFrontEnd& fe, std::int64_t n) const;
    // |correlation|^2 (unnormalised) at n.
    double Power(const FmsFrontEnd& fe, std::int64_t n) const;
    // The template's 1200 Hz bits and its 1800 Hz bits scored apart, each
    // normalised by its own samples (1 for a clean signal whatever the twist);
    // the smaller of the two. A steady tone, or a change from one tone to the
    // other, fills one part only.
    double WeakerToneScore(const FmsFrontEnd& fe, std::int64_t n) const;
    // Each bit of the template on its own, at the tone it should have and at
    // the other (energy, phase free), summed over three groups: the preamble
    // bits, the sync word's "1" bits and its "0" bits. True when no group
    // holds clearly more of the other tone: a call's tone changing from near
    // 1200 Hz to near 1800 Hz can fit the template's phases, not its bits one
    // by one.
    bool BitsInPlace(const FmsFrontEnd& fe, double t) const;
    // The template's correlation at a fractional end time, every bit with its
    // exact phase: the phase reference for the first telegram bit.
    Cx ReferenceAt(const FmsFrontEnd& fe, double t) const;

    // Scans end times from `next` up to the samples there are. Returns true
    // with `found` (the fractional start of telegram bit 0) once a peak above
    // the threshold is confirmed; `next` moves on either way.
    bool Scan(const FmsFrontEnd& fe, std::int64_t& next, double& found);
    bool PeakPending() const { return peakAt_ >= 0; }
    void Reset() { peakAt_ = -1; }

    // Span of the template before its end, in samples.
    std::int32_t Span() const { return -runFirst_[0]; }

private:
    struct Run {
        std::int32_t tone;
        std::int32_t first;  // offset of the first sample from the end time
        std::int32_t last;
        double sign;
    };
    std::array<Run, TemplateBits> runs_{};
    std::int32_t runCount_ = 0;
    std::array<std::int32_t, TemplateBits> runFirst_{};
    std::array<Cx, fms::TonePeriod> turn_{};  // e^(j 2 pi 600 n / 11025)
    std::array<std::uint8_t, TemplateBits> bits_{};
    std::int64_t peakAt_ = -1;
    double peakScore_ = 0.0;
};

class FmsBitDetector {
public:
    // Forgetting factor of the phase reference per bit.
    static constexpr double Lambda = 0.8;
    static constexpr double TimingGain = 0.6;
    static constexpr std::int32_t TimingBits = 16;
    static constexpr std::int32_t TimingEvery = 8;
    // A decision whose other value scores within this share of it is weak.
    static constexpr double WeakMargin = 0.1;

    // Start at the first bit (fractional start time) with a phase reference
    // in that bit's frame, worth `weight` bits.
    void Start(double t0, Cx reference, double weight);
    // Whether the samples for the next decision are there.
    bool Ready(const FmsFrontEnd& fe) const;
    // Decide the next bit.
    std::uint8_t Next(const FmsFrontEnd& fe);
    // The share of the energy the decided tones held since the last call
    // (1 for a clean signal, about 0.3 for noise, 0 for silence).
    double TakeQuality();
    // Weak decisions among the bits TakeQuality() last covered.
    std::int32_t WeakBits() const { return weakTaken_; }
    // Start of the next bit to decide.
    double NextBitStart() const { return queued_ > 0 ? times_[0] : nextTime_; }
    double TimingOffset() const { return timingAdjust_; }

private:
    void Fill(const FmsFrontEnd& fe, std::size_t slot, double t);

    std::array<FmsBitCorrelation, 3> queue_{};  // bits k, k+1, k+2
    std::array<double, 3> times_{};
    std::int32_t queued_ = 0;
    std::array<FmsBitCorrelation, 16> history_{};  // the last TimingBits decided bits
    std::array<double, 16> historyTime_{};
    std::array<std::uint8_t, 16> historyBit_{};
    std::int32_t historyNext_ = 0;
    std::int32_t historyCount_ = 0;
    std::int32_t sinceTiming_ = 0;
    std::array<std::array<Cx, 2>, 2> shiftTurn_{};  // e^(-+j 2 pi f / 11025) per tone
    Cx ref_{};
    double nextTime_ = 0.0;  // start of the bit after the queue
    double timingAdjust_ = 0.0;
    double decided_ = 0.0;
    double total_ = 0.0;
    std::int32_t weak_ = 0;
    std::int32_t weakTaken_ = 0;
};

}  // namespace fms_sensitive

class SensitiveFmsDecoder final : public BlockDecoder {
public:
    // Least share of the energy in the decided tones for a block to count.
    static constexpr double MinQuality = 0.45;
    // More weak decisions than this in a block: dropped even if its check fits.
    static constexpr std::int32_t MaxWeakBits = 2;
    // The sync word's phase reference counts as this many bits.
    static constexpr double ReferenceWeight = 4.0;
    // Least score of either tone's part of preamble and sync word.
    static constexpr double MinToneScore = 0.15;
    // A status telegram's 40 data bits repeating with this period or a
    // shorter one (all equal among them) were never sent: a steady tone, or
    // a tone sequence, read as bits.
    static constexpr int MaxPeriod = 8;
    static bool Repeating(const std::array<std::uint8_t, 48>& bits);

    explicit SensitiveFmsDecoder(SharedContext& ctx) : ctx_(ctx) {}
    SensitiveFmsDecoder(const SensitiveFmsDecoder&) = delete;
    SensitiveFmsDecoder& operator=(const SensitiveFmsDecoder&) = delete;

    void ProcessBlock() override;
    bool Busy() const override { return inTransmission_ || sync_.PeakPending(); }
    void FinishInput() override;

    const fms_sensitive::FmsFrontEnd& FrontEnd() const { return fe_; }
    // Telegrams and blocks dropped for a failed check or low quality.
    std::int64_t DroppedBlocks() const { return dropped_; }
    // Sync words refused because one tone's part was missing.
    std::int64_t RefusedSyncs() const { return refusedSyncs_; }
    double LastQuality() const { return lastQuality_; }
    // The last 48 bits read (whether or not they passed).
    const std::array<std::uint8_t, 48>& LastBlock() const { return block_; }

private:
    void HandleBlock();
    void EndTransmission(std::int64_t resumeAt);

    SharedContext& ctx_;
    fms_sensitive::FmsFrontEnd fe_;
    fms_sensitive::FmsSyncCorrelator sync_;
    fms_sensitive::FmsBitDetector bits_;
    std::int64_t searchNext_ = 0;
    bool inTransmission_ = false;
    std::int32_t blockCount_ = 0;  // 0 status telegram, 1 first follow-on block, 2 any further
    std::array<std::uint8_t, 48> block_{};
    std::int32_t bitCount_ = 0;
    std::int64_t blockStart_ = 0;
    std::int64_t dropped_ = 0;
    std::int64_t refusedSyncs_ = 0;
    double lastQuality_ = 0.0;
};

}  // namespace quorvel
