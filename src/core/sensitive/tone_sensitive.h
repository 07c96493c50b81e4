// The sensitive five-tone decoder: a bank of narrow filters at the tone table's
// frequencies instead of zero crossings.
//
// The signal: five audio tones back to back, about 70 ms each in the ZVEI
// tables and 100 ms in CCIR, each one entry of the selected table (zvei.h has
// the four tables). A digit equal to the one before it is sent as the table's
// repeat tone "R", so two neighbouring tones always differ.
//
// Stages, each an object whose state is in view:
//   ToneFilterBank   in: the 16-bit samples of each block. DC removed (one
//                    pole, corner about 14 Hz); one Goertzel filter per table
//                    frequency, plus guard filters in the wider gaps between
//                    them and outside them (so that a steady tone off the
//                    table is seen as one); each filter summed over hops of 64
//                    samples. Out, per hop: every filter's power over the last
//                    two hops (a window of 128 samples, about 11.6 ms: the
//                    filters are about 86 Hz wide between first nulls) and the
//                    window's energy.
//                    Each filter's window power is also summed over the last
//                    three windows (four hops, about 23 ms), which steadies
//                    the noise in it.
//   ToneHopClassifier in: one hop's smoothed powers. A hop holds a tone when
//                    the strongest filter is ten times the median filter (the
//                    noise floor: a tone lifts only the few filters around
//                    it), holds at least a twentieth of the band's energy and
//                    is four times stronger than every filter more than 70 Hz
//                    away from it. The floor, not the band's energy, decides:
//                    a tone sent 6 to 9 dB under the others (twist, level
//                    steps) is still heard. Out: that filter, or none.
//   ToneSegmenter    in: the classified hops. A tone is a run of hops of one
//                    filter (filters within 45 Hz count as one), bridging
//                    short gaps; its frequency comes from the phase advance
//                    of its filter from hop to hop (accurate to a few Hz even
//                    at 0 dB). Out: tones with start, end and frequency.
//   SensitiveToneDecoder: names each tone by the nearest table entry within
//                    2.5 % (else a failed tone, -1), keeps tones whose length
//                    lies within the limits of the table (settings ToneMinRun
//                    and ToneMaxRun, in the specified decoder's 100-sample
//                    steps; the fifth tone has only the lower limit) and that
//                    follow the one before within 45 ms, and emits five of
//                    them as a ToneSequence. A tone too long, or a pause,
//                    drops what was collected, as fewer than five tones make
//                    no call.
//
// No allocation after construction; no draws from NextRandom.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "core/processing.h"
#include "core/registry.h"

namespace quorvel {
namespace tone_sensitive {

constexpr std::int32_t Hop = 64;
constexpr std::int32_t MaxFilters = 48;
// Windows summed into the smoothed power (they span Smoothing + 1 hops).
constexpr std::int32_t Smoothing = 3;

struct Cx {
    double re = 0.0;
    double im = 0.0;
};

class ToneFilterBank {
public:
    // The filters for table `table` (0..3); false for any other number (no filters).
    bool Configure(std::int32_t table);
    // Filters at the given frequencies in the given order (filter j's entry is j),
    // at most MaxFilters of them; false (no filters) for none or too many.
    bool Configure(std::span<const double> frequencies);
    std::int32_t Count() const { return count_; }
    double Frequency(std::int32_t j) const { return freq_[static_cast<std::size_t>(j)]; }
    // The table entry a filter sits on, or -1 for a guard filter.
    std::int32_t Entry(std::int32_t j) const { return entry_[static_cast<std::size_t>(j)]; }

    // Feeds samples; calls onHop() after every completed hop.
    template <class OnHop>
    void Feed(const SampleArray& block, OnHop onHop);

    // After a hop: per filter the window power, this hop's value and the last one.
    double Power(std::int32_t j) const { return power_[static_cast<std::size_t>(j)]; }
    // The window power summed over the last Smoothing windows (hops apart):
    // the noise in it wanders far less than in one window.
    double SmoothedPower(std::int32_t j) const { return smoothed_[static_cast<std::size_t>(j)]; }
    Cx Value(std::int32_t j) const { return value_[static_cast<std::size_t>(j)]; }
    Cx PreviousValue(std::int32_t j) const { return previous_[static_cast<std::size_t>(j)]; }
    double WindowEnergy() const { return energy_ + previousEnergy_; }
    double SmoothedEnergy() const { return smoothedEnergy_; }
    // Samples fed so far.
    std::int64_t End() const { return end_; }
    void Reset();

private:
    void FinishHop();
    void PrepareFilters();

    std::int32_t count_ = 0;
    std::array<double, MaxFilters> freq_{};
    std::array<std::int32_t, MaxFilters> entry_{};
    std::array<double, MaxFilters> coeff_{};
    std::array<Cx, MaxFilters> finish_{};  // e^(-j w (Hop - 1))
    std::array<Cx, MaxFilters> back_{};    // e^(-j w)
    std::array<Cx, MaxFilters> advance_{};  // e^(-j w Hop)
    std::array<double, MaxFilters> s1_{};
    std::array<double, MaxFilters> s2_{};
    std::array<Cx, MaxFilters> value_{};
    std::array<Cx, MaxFilters> previous_{};
    std::array<double, MaxFilters> power_{};
    std::array<std::array<double, MaxFilters>, Smoothing> recent_{};  // the last windows' powers
    std::array<double, MaxFilters> smoothed_{};
    std::array<double, Smoothing> recentEnergy_{};
    double smoothedEnergy_ = 0.0;
    std::int32_t recentNext_ = 0;
    double energy_ = 0.0;
    double hopEnergy_ = 0.0;
    double previousEnergy_ = 0.0;
    double dc_ = 0.0;
    std::int32_t inHop_ = 0;
    std::int64_t end_ = 0;
};

class ToneHopClassifier {
public:
    static constexpr double MinShare = 0.05;
    static constexpr double FloorRatio = 10.0;
    static constexpr double Dominance = 4.0;
    static constexpr double Neighbourhood = 70.0;  // Hz
    // The filter holding a tone in the last window, or -1.
    static std::int32_t Classify(const ToneFilterBank& bank);
};

struct DetectedTone {
    std::int32_t filter = -1;
    double frequency = 0.0;
    std::int64_t start = 0;  // samples, as the filter bank counts them
    std::int64_t end = 0;
};

class ToneSegmenter {
public:
    static constexpr double SameTone = 45.0;  // Hz: filters this close are one tone
    static constexpr std::int32_t MaxDropHops = 2;

    // One classified hop (label from ToneHopClassifier). True when a tone ended
    // with it, given in `tone`.
    bool Step(const ToneFilterBank& bank, std::int32_t label, DetectedTone& tone);
    bool Active() const { return run_ >= 0; }
    void Reset();

private:
    bool Close(const ToneFilterBank& bank, DetectedTone& tone);
    void Begin(const ToneFilterBank& bank, std::int32_t label, std::int64_t hopEnd);

    std::int32_t run_ = -1;  // filter of the current run
    std::int64_t firstHopEnd_ = 0;
    std::int64_t lastHopEnd_ = 0;
    Cx advance_{};  // sum of value x conj(previous value) over the run
    std::int32_t drops_ = 0;
    std::int32_t pending_ = -1;  // another filter seen inside the run
    std::int32_t pendingCount_ = 0;
    std::int64_t pendingFirst_ = 0;
};

}  // namespace tone_sensitive

class SensitiveToneDecoder final : public BlockDecoder {
public:
    static constexpr double MaxGapSeconds = 0.045;

    explicit SensitiveToneDecoder(SharedContext& ctx) : ctx_(ctx) {}
    void ProcessBlock() override;
    bool Busy() const override { return count_ > 0 || segmenter_.Active(); }
    // Fewer than five tones are no call: dropped.
    void FinishInput() override;

    const tone_sensitive::ToneFilterBank& Bank() const { return bank_; }
    std::int32_t CollectedTones() const { return count_; }

private:
    void OnTone(const tone_sensitive::DetectedTone& tone);
    std::int32_t Name(double frequency) const;

    SharedContext& ctx_;
    tone_sensitive::ToneFilterBank bank_;
    tone_sensitive::ToneSegmenter segmenter_;
    std::int32_t table_ = -2;  // the table the bank is set up for
    std::array<double, 5> freqs_{};
    std::array<std::int32_t, 5> entries_{};
    std::int32_t count_ = 0;
    std::int64_t lastEnd_ = 0;
    std::int32_t hopInBlock_ = 0;  // where in the current block the last hop ended
};

// ----- template -----

template <class OnHop>
void tone_sensitive::ToneFilterBank::Feed(const SampleArray& block, OnHop onHop) {
    std::size_t i = 0;
    while (i < block.size()) {
        const std::size_t n = std::min<std::size_t>(block.size() - i, static_cast<std::size_t>(Hop - inHop_));
        double dc = dc_;
        double e = hopEnergy_;
        const auto count = static_cast<std::size_t>(count_);
        for (std::size_t k = 0; k < n; ++k) {
            const double x = block[i + k];
            const double y = x - dc;
            dc = dc + (x - dc) * (1.0 / 128.0);
            e += y * y;
            for (std::size_t j = 0; j < count; ++j) {
                const double s0 = y + coeff_[j] * s1_[j] - s2_[j];
                s2_[j] = s1_[j];
                s1_[j] = s0;
            }
        }
        dc_ = dc;
        hopEnergy_ = e;
        i += n;
        inHop_ += static_cast<std::int32_t>(n);
        end_ += static_cast<std::int64_t>(n);
        if (inHop_ == Hop) {
            FinishHop();
            onHop(static_cast<std::int32_t>(i));
        }
    }
}

}  // namespace quorvel
