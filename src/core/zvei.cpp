// The five-tone decoder: tone detection by zero crossings, collection of five
// tones from the analysis steps, and naming by the selected tone table. See
// zvei.h for the signal and the stages.
#include "zvei.h"

#include <cctype>
#include <string>

#include <algorithm>
#include <cmath>
#include <limits>

namespace quorvel {

namespace zvei {
namespace {

constexpr ToneEntry kZveiNormal[] = {
    {"1", 1060}, {"2", 1160}, {"3", 1270}, {"4", 1400}, {"5", 1530}, {"6", 1670},
    {"7", 1830}, {"8", 2000}, {"9", 2200}, {"0", 2400}, {"R", 2600}, {"Gr", 2800},
    {"C", 810},  {"H", 885},  {"U", 1750}, {"L", 1860}, {"J", 2135}, {"P", 2280},
};
constexpr ToneEntry kZveiWide[] = {
    {"1", 1060}, {"2", 1160}, {"3", 1270}, {"4", 1400}, {"5", 1530}, {"6", 1670},
    {"7", 1830}, {"8", 2000}, {"9", 2200}, {"0", 2400}, {"R", 2600}, {"G", 2800},
    {"A", 680},  {"B", 740},  {"C", 810},  {"D", 886},  {"E", 970},
};
constexpr ToneEntry kZveiNarrow[] = {
    {"1", 1060}, {"2", 1160}, {"3", 1270}, {"4", 1400}, {"5", 1530}, {"6", 1670},
    {"7", 1830}, {"8", 2000}, {"9", 2200}, {"0", 2400}, {"R", 970},  {"G", 886},
    {"A", 680},  {"B", 740},  {"C", 810},
};
constexpr ToneEntry kCcir[] = {
    {"1", 1124}, {"2", 1197}, {"3", 1275}, {"4", 1358}, {"5", 1446}, {"6", 1540},
    {"7", 1640}, {"8", 1747}, {"9", 1860}, {"0", 1981}, {"R", 2110}, {"G", 2247},
    {"A", 873},  {"B", 930},  {"C", 991},  {"D", 1055}, {"E", 2400},
};

template <std::size_t N>
constexpr std::int32_t Count(const ToneEntry (&)[N]) {
    return static_cast<std::int32_t>(N);
}

constexpr ToneTable kTables[TableCount] = {
    {"ZVEI normal", "ZVEI: ", kZveiNormal, Count(kZveiNormal), "zvei", "zvei-normal", 0.070},
    {"ZVEI wide", "ZVEI wide: ", kZveiWide, Count(kZveiWide), "zvei", "zvei-wide", 0.070},
    {"ZVEI narrow", "ZVEI narrow: ", kZveiNarrow, Count(kZveiNarrow), "zvei", "zvei-narrow", 0.070},
    {"CCIR", "CCIR: ", kCcir, Count(kCcir), "ccir", "ccir", 0.100},
};

constexpr std::int32_t RingSlot(std::int32_t index) {
    return ((index % StepRingSize) + StepRingSize) % StepRingSize;
}

// The run counters have no natural bound; a tone or a noise lasting months must
// not wrap them into negative values.
void CountUp(std::int32_t& counter) {
    if (counter < std::numeric_limits<std::int32_t>::max()) ++counter;
}

}  // namespace

const ToneTable& Table(std::int32_t index) { return kTables[index]; }

std::int32_t TableByName(std::string_view name) {
    std::string n;
    for (char c : name) n += c == ' ' || c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (n == "zvei") return 0;
    for (std::int32_t k = 0; k < TableCount; ++k)
        if (n == std::to_string(k) || n == kTables[k].key) return k;
    return -1;
}

std::string TableChoices() {
    std::string list;
    for (std::int32_t k = 0; k < TableCount; ++k) list += std::string(k == 0 ? "" : k + 1 == TableCount ? " or " : ", ") + std::string(kTables[k].key);
    return list;
}

bool ToneMatches(double nominal, double measured) {
    return std::fabs(measured - nominal) / nominal < 0.025;
}

const ToneEntry* MatchTone(const ToneTable& table, double m) {
    for (std::int32_t k = 0; k < table.entryCount; ++k) {
        if (ToneMatches(table.entries[k].frequency, m)) return &table.entries[k];
    }
    return nullptr;
}

}  // namespace zvei

namespace {

// The front end's running values, held in locals while a block is processed so
// that the compiler keeps them in registers (stores to the work array could
// otherwise alias them and force a reload per sample), and written back after.
// The arithmetic is exactly that of the three stages, sample by sample.
struct FrontEnd {
    ZveiState& s;
    double rate;
    double dcMean, prev, rise, fall, frequency, meanFrequency, meanChange, prevTrack;
    std::int32_t historyIndex, stepPhase, stepWrite;

    FrontEnd(ZveiState& state, std::int32_t sampleRate)
        : s(state),
          rate(static_cast<double>(sampleRate)),
          dcMean(state.ZveiDcMean),
          prev(state.ZveiPrevSample),
          rise(state.RiseDistance),
          fall(state.FallDistance),
          frequency(state.ZveiFrequency),
          meanFrequency(state.MeanFrequency),
          meanChange(state.MeanChange),
          prevTrack(state.PrevTrack),
          historyIndex(state.HistoryIndex),
          stepPhase(state.StepPhase),
          stepWrite(state.StepWrite) {}

    ~FrontEnd() {
        s.ZveiDcMean = dcMean;
        s.ZveiPrevSample = prev;
        s.RiseDistance = rise;
        s.FallDistance = fall;
        s.ZveiFrequency = frequency;
        s.MeanFrequency = meanFrequency;
        s.MeanChange = meanChange;
        s.PrevTrack = prevTrack;
        s.HistoryIndex = historyIndex;
        s.StepPhase = stepPhase;
        s.StepWrite = stepWrite;
    }

    // DC removal: the running mean of the raw input, subtracted.
    double RemoveDc(double x) {
        dcMean = 0.01 * x + 0.99 * dcMean;
        return x - dcMean;
    }

    // Frequency track: dither the sample with r; a rising or falling zero
    // crossing, placed by linear interpolation, gives the period back to the
    // previous crossing of the same direction. Between crossings the track holds
    // the last estimate.
    double Track(double w, double r) {
        const double p = prev;
        const double z = (r + w) - 0.5;
        if (z >= 0.0 && p < 0.0) {
            double d = z - p;
            if (!(d >= 1.0)) d = 1.0;
            const double e = -p / d;
            double interval = rise - 1.0 + e;
            // Only the very first crossing of a direction, one sample after the
            // start, can give an empty interval; count it as one sample rather
            // than let an infinity into the running means.
            if (interval == 0.0) interval = 1.0;
            frequency = rate / interval;
            rise = 1.0 - e;
        } else if (p >= 0.0 && z < 0.0) {
            double d = p - z;
            if (!(d >= 1.0)) d = 1.0;
            const double e = p / d;
            double interval = fall - 1.0 + e;
            if (interval == 0.0) interval = 1.0;
            frequency = -(rate / interval);
            fall = 1.0 - e;
        }
        prev = z;
        rise = rise + 1.0;
        fall = fall + 1.0;
        return std::fabs(frequency);
    }

    // Analysis steps: running means of the track and of its change over the
    // last 100 samples; every 100th sample writes the mean frequency if the
    // track was steady within 5 %, else the no-tone mark.
    void MakeStep(double t) {
        const std::int32_t h = historyIndex;
        meanFrequency = meanFrequency + (t - s.FreqHistory[h]) / 100.0;
        s.FreqHistory[h] = t;
        const double c = std::fabs(t - prevTrack);
        meanChange = meanChange + (c - s.ChangeHistory[h]) / 100.0;
        s.ChangeHistory[h] = c;
        historyIndex = h + 1 == zvei::HistoryLength ? 0 : h + 1;
        prevTrack = t;
        if (stepPhase == 0) {
            if (!(meanFrequency >= 1.0)) meanFrequency = 1.0;
            const double step = meanChange / meanFrequency <= 0.05 ? meanFrequency : zvei::NoToneMark;
            s.StepRing[stepWrite] = step;
            stepWrite = (stepWrite + 1) % zvei::StepRingSize;
        }
        stepPhase = stepPhase + 1 == zvei::StepLength ? 0 : stepPhase + 1;
    }
};

}  // namespace

void ZveiDecoder::ZveiRemoveDc() {
    FrontEnd f(state, ctx_.SampleRate);
    for (std::int32_t n = 0; n < FramesPerBlock; ++n) state.ZveiWork[n] = f.RemoveDc(ctx_.SampleBlock[n]);
}

void ZveiDecoder::ZveiTrackFrequency() {
    FrontEnd f(state, ctx_.SampleRate);
    for (std::int32_t n = 0; n < FramesPerBlock; ++n) state.ZveiWork[n] = f.Track(state.ZveiWork[n], ctx_.NextRandom());
}

void ZveiDecoder::ZveiMakeSteps() {
    FrontEnd f(state, ctx_.SampleRate);
    for (std::int32_t n = 0; n < FramesPerBlock; ++n) f.MakeStep(state.ZveiWork[n]);
}

// The three stages in one pass: each sample goes through DC removal, tracking
// and step making before the next, which gives the same values and the same
// order of draws as three passes, with the three dependency chains overlapping.
void ZveiDecoder::ZveiFrontEndBlock() {
    FrontEnd f(state, ctx_.SampleRate);
    for (std::int32_t n = 0; n < FramesPerBlock; ++n) {
        const double w = f.RemoveDc(ctx_.SampleBlock[n]);
        const double t = f.Track(w, ctx_.NextRandom());
        state.ZveiWork[n] = t;
        f.MakeStep(t);
    }
}

std::int32_t ZveiDecoder::StepRingDistance() const {
    return RingDistance(state.StepRead, state.StepWrite, zvei::StepRingSize);
}

// Pair every unread step but the newest with the step after it; runs of steady
// pairs within the limits are tones.
void ZveiDecoder::ZveiCollectTones() {
    using zvei::RingSlot;
    ZveiState& s = state;
    const std::int32_t k = StepRingDistance() - 1;
    std::int32_t examined = 0;
    for (std::int32_t i = 0; i < k; ++i) {
        const std::int32_t last = s.StepRead + i;
        const double a = s.StepRing[RingSlot(last)];
        const double c = s.StepRing[RingSlot(last + 1)];
        const double b = c > 1.0 ? std::fabs(c - a) / (c + a) : 1.0;
        const std::int32_t minRun = ctx_.settings.ToneMinRun.load(std::memory_order_relaxed);
        const std::int32_t maxRun = ctx_.settings.ToneMaxRun.load(std::memory_order_relaxed);

        if (s.ToneCount < 4 && b > 0.01 && minRun < s.SteadyRun && s.SteadyRun < maxRun) {
            // The third step before the end of the run (never before its start).
            const std::int32_t back = std::min(3, s.SteadyRun);
            s.ToneFreqs[s.ToneCount] = s.StepRing[RingSlot(last - back)];
            s.SteadyRun = 0;
            s.ToneCount = s.ToneCount + 1;
        }
        if (s.ToneCount == 4 && b > 0.01 && s.SteadyRun > minRun) {
            // The third step after the start of the run; when a very long tone
            // has pushed that step out of the ring, the oldest step still held,
            // which is a step of the same run.
            std::int32_t back = std::max(0, s.SteadyRun - 3);
            const std::int32_t held = zvei::StepRingSize - RingDistance(RingSlot(last), s.StepWrite, zvei::StepRingSize);
            if (back > held) back = held;
            s.ToneFreqs[4] = s.StepRing[RingSlot(last - back)];
            s.ToneCount = 5;
        }
        if (b < 0.01) {
            zvei::CountUp(s.SteadyRun);
            s.UnsteadyRun = 0;
        } else {
            s.SteadyRun = 0;
            zvei::CountUp(s.UnsteadyRun);
        }
        if (s.UnsteadyRun > 5) {
            s.ToneFreqs.fill(0.0);
            s.ToneCount = 0;
        }
        examined = i + 1;
        if (s.ToneCount == zvei::TonesPerSequence) break;
    }
    s.StepRead = RingSlot(s.StepRead + examined);
}

void ZveiDecoder::ZveiWriteSequence(std::int32_t table) {
    ZveiState& s = state;
    if (table < 0 || table >= zvei::TableCount) {
        // No table chosen: nothing can name the tones, so they are dropped and
        // the collector starts afresh.
        s.ToneFreqs.fill(0.0);
        s.ToneCount = 0;
        return;
    }
    const zvei::ToneTable& t = zvei::Table(table);
    ToneSequence sequence;
    // The fifth tone ended where the unread steps begin.
    sequence.at = ctx_.Origin(FramesPerBlock - zvei::StepLength * StepRingDistance());
    sequence.table = table;
    sequence.count = s.ToneCount;
    for (std::int32_t j = 0; j < s.ToneCount; ++j) {
        sequence.frequencies[static_cast<std::size_t>(j)] = s.ToneFreqs[j];
        const zvei::ToneEntry* e = zvei::MatchTone(t, RoundHalfEvenValue(s.ToneFreqs[j]));
        sequence.entries[static_cast<std::size_t>(j)] = e != nullptr ? static_cast<std::int32_t>(e - t.entries) : -1;
    }
    ctx_.events.OnEvent(sequence);
    s.ToneCount = 0;
}

void ZveiDecoder::ZveiProcessBlock() {
    ZveiFrontEndBlock();
    ZveiCollectTones();
    if (state.ToneCount > 0) ctx_.ActivityLine.Set("ZVEI ");
    if (state.ToneCount == zvei::TonesPerSequence) {
        ZveiWriteSequence(ctx_.settings.ZveiTableIndex.load(std::memory_order_relaxed));
    }
}

}  // namespace quorvel
