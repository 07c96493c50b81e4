#include "tone_gen.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <numbers>

#include "core/zvei.h"

namespace quorvel::gen {

namespace {

// The entry of the table whose text starts `symbols` at `pos`, the longest
// match first (so "Gr" is not read as "G" followed by "r").
const zvei::ToneEntry* EntryAt(const zvei::ToneTable& table, std::string_view symbols, std::size_t pos) {
    const zvei::ToneEntry* best = nullptr;
    for (std::int32_t k = 0; k < table.entryCount; ++k) {
        const zvei::ToneEntry& e = table.entries[k];
        if (symbols.substr(pos, e.text.size()) == e.text && (best == nullptr || e.text.size() > best->text.size())) {
            best = &e;
        }
    }
    return best;
}

}  // namespace

int ToneTableByName(std::string_view name) { return zvei::TableByName(name); }

double StandardToneSeconds(int table) { return zvei::Table(table).toneSeconds; }

bool ToneFrequencies(int table, std::string_view symbols, bool repeatTone, std::vector<double>& out,
                     std::string* error) {
    out.clear();
    if (table < 0 || table >= zvei::TableCount) {
        if (error) *error = "unknown tone table";
        return false;
    }
    const zvei::ToneTable& t = zvei::Table(table);
    const zvei::ToneEntry* repeat = EntryAt(t, "R", 0);
    const zvei::ToneEntry* previous = nullptr;
    std::size_t pos = 0;
    while (pos < symbols.size()) {
        const zvei::ToneEntry* e = EntryAt(t, symbols, pos);
        if (e == nullptr) {
            if (error) *error = "no tone \"" + std::string(symbols.substr(pos, 1)) + "\" in table " + std::string(t.name);
            return false;
        }
        pos += e->text.size();
        const zvei::ToneEntry* sent = (repeatTone && previous == e) ? repeat : e;
        out.push_back(sent->frequency);
        previous = sent;
    }
    return true;
}

ToneSignal SynthesizeToneSequences(const std::vector<std::vector<double>>& sequences, const ToneTiming& timing,
                                   double level, int sampleRate) {
    ToneSignal result;
    const double rate = static_cast<double>(sampleRate);
    const auto toneSamples = static_cast<std::size_t>(std::llround(std::max(0.0, timing.toneSeconds) * rate));
    const auto gapSamples = static_cast<std::size_t>(std::llround(std::max(0.0, timing.gapSeconds) * rate));
    const auto pauseSamples = static_cast<std::size_t>(std::llround(std::max(0.0, timing.pauseSeconds) * rate));
    double power = 0.0;
    std::size_t toneCount = 0;
    for (std::size_t q = 0; q < sequences.size(); ++q) {
        if (q > 0) result.samples.resize(result.samples.size() + pauseSamples, 0.0);
        double phase = 0.0;
        for (std::size_t j = 0; j < sequences[q].size(); ++j) {
            if (j > 0 && gapSamples > 0) {
                result.samples.resize(result.samples.size() + gapSamples, 0.0);
                phase = 0.0;
            }
            const double step = 2.0 * std::numbers::pi * sequences[q][j] / rate;
            for (std::size_t i = 0; i < toneSamples; ++i) {
                const double v = level * std::sin(phase);
                result.samples.push_back(v);
                power += v * v;
                phase += step;
                if (phase >= 2.0 * std::numbers::pi) phase -= 2.0 * std::numbers::pi;
            }
            toneCount += toneSamples;
        }
    }
    result.signalPower = toneCount > 0 ? power / static_cast<double>(toneCount) : 0.0;
    return result;
}

}  // namespace quorvel::gen
