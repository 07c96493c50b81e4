// Signals for the sensitive POCSAG suites and the sensitivity benchmark: pager
// calls from the project's generator as a receiver delivers them (bit clock off
// nominal, receiver low-pass, DC offset, either polarity and characteristic),
// noise at a signal-to-noise ratio measured the way the decoder meets it, and a
// score of decoded text against the calls sent.
//
// SNR here: the power of the clean signal below the bit rate over the power of
// the noise between 0 Hz and the bit rate. The generator's noise is white over
// 0..5512.5 Hz, so its power is raised by 5512.5 / bit rate over the in-band
// figure.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "render/standard_engine.h"
#include "core/sensitive/sensitive_pocsag.h"
#include "gen/pocsag_gen.h"
#include "gen/signal.h"
#include "signal_power.h"
#include "test_support.h"

namespace quorvel::testing {

using gen::PocsagMessage;
using PocsagOutput = gen::PocsagSignal::Output;

struct PagerScenario {
    double rate = 1200.0;
    double ppm = 300.0;  // bit clock off nominal
    bool inverted = false;
    PocsagOutput output = PocsagOutput::Discriminator;
    double snrDb = INFINITY;
    double dcOffset = 600.0;
    int preamble = 576;
    double leadSeconds = 0.4;  // noise (or silence) before the transmission
    double tailSeconds = 0.6;
    std::uint64_t seed = 1;
};

// `count` calls drawn from `seed`: alphanumeric, numeric and tone-only.
inline std::vector<PocsagMessage> RandomCalls(std::uint64_t seed, int count) {
    static const std::string letters =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 .,:-/()!?";
    static const std::string digits = "0123456789 -U";
    gen::NoiseSource r(seed * 7919 + 17);
    auto pick = [&r](int n) { return std::min(n - 1, static_cast<int>(r.Uniform() * n)); };
    std::vector<PocsagMessage> out;
    for (int i = 0; i < count; ++i) {
        PocsagMessage m;
        m.address = 8 + static_cast<std::uint32_t>(pick(2097100));
        m.function = pick(4);
        const int kind = pick(20);
        if (kind < 12) {
            m.kind = PocsagMessage::Kind::Alphanumeric;
            const int n = 5 + pick(50);
            for (int k = 0; k < n; ++k) m.text += letters[static_cast<std::size_t>(pick(static_cast<int>(letters.size())))];
        } else if (kind < 17) {
            m.kind = PocsagMessage::Kind::Numeric;
            const int n = 3 + pick(16);
            for (int k = 0; k < n; ++k) m.text += digits[static_cast<std::size_t>(pick(static_cast<int>(digits.size())))];
        } else {
            m.kind = PocsagMessage::Kind::ToneOnly;
        }
        out.push_back(m);
    }
    return out;
}

// The text the specified decoder gives for one call.
inline std::string ExpectedCallText(const PocsagMessage& m) {
    const std::vector<std::uint32_t> cws = gen::PocsagMessageCodewords(m);
    char head[32];
    std::snprintf(head, sizeof head, "%.7u:\t%d\t", m.address, m.function);
    std::string out = head;
    const auto count = static_cast<std::int32_t>(std::min<std::size_t>(cws.size() - 1, 63));
    if (count == 0) return out + "Beep \r\n";
    std::vector<std::uint32_t> words(cws.begin() + 1, cws.begin() + 1 + count);
    std::string text;
    if (count < 5) {
        PocsagNumericText(words.data(), count, text);
        out += "Numerisch:\t" + text + "\r\n\t\t";
    }
    const bool offset = m.address >= 4000 && m.address <= 4999;
    PocsagAlphaText(words.data(), count, offset, text);
    out += "AlphaNum:\t";
    if (offset) out += "Skyper: ";
    return out + text + "\r\n";
}

// One transmission of `calls` with noise around it, as 16-bit samples.
inline std::vector<std::int16_t> PagerSamples(const PagerScenario& s, const std::vector<PocsagMessage>& calls) {
    gen::PocsagSignal signal;
    signal.bitRate = s.rate * (1.0 + s.ppm * 1e-6);
    signal.inverted = s.inverted;
    signal.output = s.output;
    signal.preambleBits = s.preamble;
    signal.level = 8000.0;
    const std::vector<double> wave = gen::PocsagWaveform(signal, gen::PocsagCodewords(calls));
    std::vector<double> all(static_cast<std::size_t>(s.leadSeconds * 11025), 0.0);
    all.insert(all.end(), wave.begin(), wave.end());
    all.resize(all.size() + static_cast<std::size_t>(s.tailSeconds * 11025), 0.0);
    if (std::isfinite(s.snrDb)) {
        const double inBand = PowerBelow(wave, s.rate);
        // AddNoise sets signal / (noise over 0..5512.5 Hz).
        const double wideSnr = s.snrDb - 10.0 * std::log10(5512.5 / s.rate);
        gen::AddNoise(all, inBand, wideSnr, s.seed);
    }
    gen::AddOffset(all, s.dcOffset);
    return gen::Quantize(all);
}

// Decoded text of the samples, POCSAG only, the specified or the sensitive form.
inline std::string DecodePager(std::span<const std::int16_t> pcm, bool sensitive, PocsagOutput output) {
    FixedClock clock(DateTime{2024, 5, 6, 14, 3, 7, 0});
    StandardEngine e(clock);
    e.ctx.settings.PocsagEnabled.store(true);
    e.ctx.settings.Sensitive.store(sensitive);
    e.ctx.settings.PocsagCharacteristic.store(output == PocsagOutput::LineOutput ? 1 : 0);
    e.pocsag.PocsagSetCharacteristic();
    std::string text = DecodeSamples(e, pcm);
    std::string taken;
    e.FinishInput([&] {
        e.ctx.TakeText(taken);
        text += taken;
    });
    return text;
}

struct CallScore {
    int expected = 0, exact = 0, corrupt = 0, falseLines = 0;
    CallScore& operator+=(const CallScore& o) {
        expected += o.expected;
        exact += o.exact;
        corrupt += o.corrupt;
        falseLines += o.falseLines;
        return *this;
    }
};

// The decoded text without the end-of-transmission summaries.
inline std::string WithoutSummaries(const std::string& text) {
    static const std::regex summary("\\d\\d:\\d\\d:\\d\\d - \\d\\d:\\d\\d:\\d\\d\tidles:[^\r]*\r\n\r\n");
    return std::regex_replace(text, summary, "");
}

// Exact calls are found whole in the text; any other call line is corrupt when
// its RIC is one of the calls sent and not yet found, else false.
inline CallScore ScoreCalls(const std::string& decoded, const std::vector<PocsagMessage>& calls) {
    std::string text = WithoutSummaries(decoded);
    CallScore score;
    std::vector<std::uint32_t> missing;
    for (const PocsagMessage& m : calls) {
        ++score.expected;
        const std::string want = ExpectedCallText(m);
        const std::size_t at = text.find(want);
        if (at != std::string::npos) {
            ++score.exact;
            text.erase(at, want.size());
        } else {
            missing.push_back(m.address);
        }
    }
    static const std::regex head("(\\d{7}):\t\\d\t");
    for (std::sregex_iterator it(text.begin(), text.end(), head), end; it != end; ++it) {
        const auto ric = static_cast<std::uint32_t>(std::stoul((*it)[1].str()));
        const auto found = std::find(missing.begin(), missing.end(), ric);
        if (found != missing.end()) {
            ++score.corrupt;
            missing.erase(found);
        } else {
            ++score.falseLines;
        }
    }
    return score;
}

// Call lines (any RIC) in decoded text.
inline int CallLines(const std::string& decoded) {
    static const std::regex head("\\d{7}:\t\\d\t");
    const std::string text = WithoutSummaries(decoded);
    return static_cast<int>(std::distance(std::sregex_iterator(text.begin(), text.end(), head), std::sregex_iterator()));
}

}  // namespace quorvel::testing
