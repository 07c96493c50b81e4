// The sensitive five-tone decoder's stages and sequence assembly. See
// tone_sensitive.h for the signal and what each stage takes and gives.
#include "tone_sensitive.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "core/zvei.h"

namespace quorvel {
namespace tone_sensitive {

namespace {

constexpr double Rate = DefaultSampleRate;

Cx Polar(double a) { return {std::cos(a), std::sin(a)}; }
Cx Mul(Cx a, Cx b) { return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }
Cx MulConj(Cx a, Cx b) { return {a.re * b.re + a.im * b.im, a.im * b.re - a.re * b.im}; }
double Norm(Cx a) { return a.re * a.re + a.im * a.im; }

}  // namespace

// ----- filter bank -----

bool ToneFilterBank::Configure(std::int32_t table) {
    count_ = 0;
    Reset();
    if (table < 0 || table >= zvei::TableCount) return false;
    const zvei::ToneTable& t = zvei::Table(table);
    // The table's frequencies in rising order, then guards: one below, one
    // above, and in every gap wider than 110 Hz enough to keep filters at most
    // 100 Hz apart.
    std::array<double, MaxFilters> sorted{};
    std::array<std::int32_t, MaxFilters> entry{};
    std::int32_t n = 0;
    for (std::int32_t k = 0; k < t.entryCount && n < MaxFilters; ++k) {
        sorted[static_cast<std::size_t>(n)] = t.entries[k].frequency;
        entry[static_cast<std::size_t>(n)] = k;
        ++n;
    }
    for (std::int32_t a = 0; a < n; ++a)
        for (std::int32_t b = a + 1; b < n; ++b)
            if (sorted[static_cast<std::size_t>(b)] < sorted[static_cast<std::size_t>(a)]) {
                std::swap(sorted[static_cast<std::size_t>(a)], sorted[static_cast<std::size_t>(b)]);
                std::swap(entry[static_cast<std::size_t>(a)], entry[static_cast<std::size_t>(b)]);
            }
    auto add = [this](double f, std::int32_t e) {
        if (count_ >= MaxFilters) return;
        freq_[static_cast<std::size_t>(count_)] = f;
        entry_[static_cast<std::size_t>(count_)] = e;
        ++count_;
    };
    add(sorted[0] - 90.0, -1);
    for (std::int32_t k = 0; k < n; ++k) {
        add(sorted[static_cast<std::size_t>(k)], entry[static_cast<std::size_t>(k)]);
        if (k + 1 < n) {
            const double lo = sorted[static_cast<std::size_t>(k)];
            const double gap = sorted[static_cast<std::size_t>(k + 1)] - lo;
            if (gap > 110.0) {
                const auto guards = static_cast<std::int32_t>(std::ceil(gap / 100.0)) - 1;
                for (std::int32_t g = 1; g <= guards; ++g) add(lo + gap * g / (guards + 1), -1);
            }
        }
    }
    add(sorted[static_cast<std::size_t>(n - 1)] + 100.0, -1);
    PrepareFilters();
    return true;
}

bool ToneFilterBank::Configure(std::span<const double> frequencies) {
    count_ = 0;
    Reset();
    if (frequencies.empty() || frequencies.size() > static_cast<std::size_t>(MaxFilters)) return false;
    for (std::size_t k = 0; k < frequencies.size(); ++k) {
        freq_[k] = frequencies[k];
        entry_[k] = static_cast<std::int32_t>(k);
    }
    count_ = static_cast<std::int32_t>(frequencies.size());
    PrepareFilters();
    return true;
}

void ToneFilterBank::PrepareFilters() {
    for (std::int32_t j = 0; j < count_; ++j) {
        const auto k = static_cast<std::size_t>(j);
        const double w = 2.0 * std::numbers::pi * freq_[k] / Rate;
        coeff_[k] = 2.0 * std::cos(w);
        finish_[k] = Polar(-w * (Hop - 1));
        back_[k] = Polar(-w);
        advance_[k] = Polar(-w * Hop);
    }
}

void ToneFilterBank::Reset() {
    s1_.fill(0.0);
    s2_.fill(0.0);
    value_.fill({});
    previous_.fill({});
    power_.fill(0.0);
    for (auto& r : recent_) r.fill(0.0);
    smoothed_.fill(0.0);
    recentEnergy_.fill(0.0);
    smoothedEnergy_ = 0.0;
    recentNext_ = 0;
    energy_ = 0.0;
    hopEnergy_ = 0.0;
    previousEnergy_ = 0.0;
    inHop_ = 0;
}

void ToneFilterBank::FinishHop() {
    for (std::int32_t j = 0; j < count_; ++j) {
        const auto k = static_cast<std::size_t>(j);
        // The hop's sum of y(n) e^(-j w n), n counted from the hop's start.
        const Cx tail = Mul(back_[k], {s2_[k], 0.0});
        const Cx x = Mul(finish_[k], {s1_[k] - tail.re, -tail.im});
        previous_[k] = value_[k];
        value_[k] = x;
        // The two hops as one window, referred to the earlier hop's start.
        const Cx later = Mul(x, advance_[k]);
        power_[k] = Norm({previous_[k].re + later.re, previous_[k].im + later.im});
        recent_[static_cast<std::size_t>(recentNext_)][k] = power_[k];
        double sum = 0.0;
        for (const auto& r : recent_) sum += r[k];
        smoothed_[k] = sum;
        s1_[k] = 0.0;
        s2_[k] = 0.0;
    }
    previousEnergy_ = energy_;
    energy_ = hopEnergy_;
    recentEnergy_[static_cast<std::size_t>(recentNext_)] = energy_ + previousEnergy_;
    smoothedEnergy_ = 0.0;
    for (double e : recentEnergy_) smoothedEnergy_ += e;
    recentNext_ = (recentNext_ + 1) % Smoothing;
    hopEnergy_ = 0.0;
    inHop_ = 0;
}

// ----- classifier -----

std::int32_t ToneHopClassifier::Classify(const ToneFilterBank& bank) {
    const std::int32_t n = bank.Count();
    if (n == 0) return -1;
    std::array<double, MaxFilters> sorted{};
    std::int32_t best = 0;
    for (std::int32_t j = 0; j < n; ++j) {
        sorted[static_cast<std::size_t>(j)] = bank.SmoothedPower(j);
        if (bank.SmoothedPower(j) > bank.SmoothedPower(best)) best = j;
    }
    const double p = bank.SmoothedPower(best);
    if (!(p > 0.0)) return -1;
    // The noise floor: the median filter. A tone lifts its own filter and the
    // neighbours within its main lobe, a few of the bank; the rest hold noise
    // (white noise gives every filter the same power). A weak tone, under a
    // level step or twist, stands out against this floor long before it holds
    // much of the band's energy.
    const auto middle = sorted.begin() + n / 2;
    std::nth_element(sorted.begin(), middle, sorted.begin() + n);
    if (!(p >= FloorRatio * *middle)) return -1;
    // A clean tone on a filter gives p = energy * window / 2 (per window summed).
    const double window = 2.0 * Hop;
    if (!(p >= MinShare * bank.SmoothedEnergy() * window / 2.0)) return -1;
    const double f = bank.Frequency(best);
    for (std::int32_t j = 0; j < n; ++j) {
        if (std::fabs(bank.Frequency(j) - f) <= Neighbourhood) continue;
        if (Dominance * bank.SmoothedPower(j) > p) return -1;
    }
    return best;
}

// ----- segmenter -----

void ToneSegmenter::Reset() {
    run_ = -1;
    drops_ = 0;
    pending_ = -1;
    pendingCount_ = 0;
}

void ToneSegmenter::Begin(const ToneFilterBank& bank, std::int32_t label, std::int64_t hopEnd) {
    (void)bank;
    run_ = label;
    firstHopEnd_ = hopEnd;
    lastHopEnd_ = hopEnd;
    advance_ = {};
    drops_ = 0;
    pending_ = -1;
    pendingCount_ = 0;
}

bool ToneSegmenter::Close(const ToneFilterBank& bank, DetectedTone& tone) {
    tone.filter = run_;
    const double f = bank.Frequency(run_);
    double frequency = f;
    if (Norm(advance_) > 0.0) {
        // Phase advance per hop of a tone at frequency g: 2 pi g Hop / 11025.
        const double expected = 2.0 * std::numbers::pi * f * Hop / Rate;
        double d = std::atan2(advance_.im, advance_.re) - expected;
        d -= 2.0 * std::numbers::pi * std::floor((d + std::numbers::pi) / (2.0 * std::numbers::pi));
        frequency = f + d * Rate / (2.0 * std::numbers::pi * Hop);
    }
    tone.frequency = frequency;
    // A window of two hops holds the tone from about half a hop before the
    // first labelled hop's end... to about half a hop after the last one's
    // start: the run covers the tone's length to within a hop.
    tone.start = firstHopEnd_ - Hop - Hop / 2;
    tone.end = lastHopEnd_ - Hop / 2;
    run_ = -1;
    drops_ = 0;
    return true;
}

bool ToneSegmenter::Step(const ToneFilterBank& bank, std::int32_t label, DetectedTone& tone) {
    const std::int64_t hopEnd = bank.End();
    if (run_ < 0) {
        if (label >= 0) Begin(bank, label, hopEnd);
        return false;
    }
    const bool same = label >= 0 && std::fabs(bank.Frequency(label) - bank.Frequency(run_)) <= SameTone;
    if (same) {
        // Phase advance of the run's own filter from the hop before.
        const Cx a = MulConj(bank.Value(run_), bank.PreviousValue(run_));
        if (hopEnd - lastHopEnd_ == Hop) advance_ = {advance_.re + a.re, advance_.im + a.im};
        lastHopEnd_ = hopEnd;
        drops_ = 0;
        pending_ = -1;
        pendingCount_ = 0;
        return false;
    }
    if (label >= 0) {
        // Another tone: it takes over once it has held for two hops.
        if (label == pending_) {
            ++pendingCount_;
        } else {
            pending_ = label;
            pendingCount_ = 1;
            pendingFirst_ = hopEnd;
        }
        if (pendingCount_ >= 2) {
            const std::int32_t next = pending_;
            const std::int64_t first = pendingFirst_;
            Close(bank, tone);
            Begin(bank, next, first);
            lastHopEnd_ = hopEnd;
            return true;
        }
    } else {
        pending_ = -1;
        pendingCount_ = 0;
    }
    if (++drops_ > MaxDropHops) return Close(bank, tone);
    return false;
}

}  // namespace tone_sensitive

// ----- decoder -----

std::int32_t SensitiveToneDecoder::Name(double frequency) const {
    const zvei::ToneTable& t = zvei::Table(table_);
    std::int32_t best = -1;
    double bestDistance = 0.0;
    for (std::int32_t k = 0; k < t.entryCount; ++k) {
        const double d = std::fabs(frequency - t.entries[k].frequency);
        if (!zvei::ToneMatches(t.entries[k].frequency, frequency)) continue;
        if (best < 0 || d < bestDistance) {
            best = k;
            bestDistance = d;
        }
    }
    return best;
}

void SensitiveToneDecoder::OnTone(const tone_sensitive::DetectedTone& tone) {
    const double step = 100.0;  // the specified decoder's analysis step, samples
    const double minLength = (ctx_.settings.ToneMinRun.load(std::memory_order_relaxed) + 1) * step;
    const double maxLength = (ctx_.settings.ToneMaxRun.load(std::memory_order_relaxed) + 1) * step;
    const auto length = static_cast<double>(tone.end - tone.start);
    const auto maxGap = static_cast<std::int64_t>(MaxGapSeconds * ctx_.SampleRate);
    if (length < minLength) return;  // a blip: neither a tone nor a break
    if (count_ > 0 && tone.start - lastEnd_ > maxGap) count_ = 0;
    if (count_ < 4 && length > maxLength) {
        count_ = 0;
        return;
    }
    const std::int32_t entry = Name(tone.frequency);
    freqs_[static_cast<std::size_t>(count_)] = tone.frequency;
    entries_[static_cast<std::size_t>(count_)] = entry;
    ++count_;
    lastEnd_ = tone.end;
    if (count_ < 5) return;
    ToneSequence sequence;
    sequence.at = ctx_.Origin(hopInBlock_);
    sequence.table = table_;
    sequence.count = 5;
    sequence.frequencies = freqs_;
    sequence.entries = entries_;
    ctx_.events.OnEvent(sequence);
    count_ = 0;
}

void SensitiveToneDecoder::ProcessBlock() {
    const std::int32_t table = ctx_.settings.ZveiTableIndex.load(std::memory_order_relaxed);
    if (table != table_) {
        // A new table: new filters, and what was collected is dropped.
        table_ = table;
        bank_.Configure(table);
        segmenter_.Reset();
        count_ = 0;
    }
    if (bank_.Count() == 0) return;
    bank_.Feed(ctx_.SampleBlock, [this](std::int32_t inBlock) {
        hopInBlock_ = std::min(inBlock, FramesPerBlock - 1);
        const std::int32_t label = tone_sensitive::ToneHopClassifier::Classify(bank_);
        tone_sensitive::DetectedTone tone;
        if (segmenter_.Step(bank_, label, tone)) OnTone(tone);
        const auto maxGap = static_cast<std::int64_t>(MaxGapSeconds * ctx_.SampleRate);
        if (count_ > 0 && !segmenter_.Active() && bank_.End() - lastEnd_ > maxGap + tone_sensitive::Hop) count_ = 0;
    });
    if (count_ > 0 || segmenter_.Active()) ctx_.ActivityLine.Set("ZVEI ");
}

void SensitiveToneDecoder::FinishInput() {
    segmenter_.Reset();
    count_ = 0;
}

}  // namespace quorvel
