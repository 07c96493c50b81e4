// FLEX test-signal generator (see flex_gen.h). The audio side follows the
// POCSAG generator's receiver model: the transmitter's Gaussian premodulation
// filter (3 dB bandwidth 0.8 x the block symbol rate) and the receiver's
// Gaussian IF (4 kHz) as one Gaussian step per level change at its exact time;
// then AC coupling (2 Hz) for the discriminator tap, or de-emphasis and the
// 300..3000 Hz audio band for the line output.
#include "gen/flex_gen.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>

#include "core/biquad.h"

namespace quorvel::gen {
namespace {

using flex::Mode;
using Kind = FlexPageToSend::Kind;

constexpr double kPi = 3.14159265358979323846;
constexpr double kTransmitBandwidthPerRate = 0.8;
constexpr double kReceiverBandwidthHz = 4000.0;
constexpr double kCouplingHighPassHz = 2.0;
constexpr double kDeEmphasisHz = 300.0;
constexpr double kSubAudioHighPassHz = 300.0;
constexpr double kAudioLowPassHz = 3000.0;
constexpr std::array<std::uint32_t, 2> kIdle = {0x155555u, 0x0AAAAAu};
constexpr int kMaxMessageWords = 85;

bool PhaseInMode(Mode m, int phase) {
    for (int p = 0; p < flex::Info(m).phases; ++p)
        if (flex::PhaseLetter(m, p) == phase) return true;
    return false;
}

bool IsNumeric(Kind k) { return k == Kind::Numeric || k == Kind::NumberedNumeric || k == Kind::SpecialNumeric; }

// One fragment (or whole page) to place: its message words with the first one
// (header) first, the vector, whether the address is long.
struct Item {
    std::array<std::uint32_t, 2> address{};
    int addressWords = 1;
    flex::Vector vector;
    std::vector<std::uint32_t> message;  // info bits
    int phase = 0;
    int minFrame = 0;
    int next = -1;  // the item of the following fragment
};

std::vector<std::uint32_t> NumericWords(const std::string& text, std::uint32_t& vectorCheckLow, flex::VectorType type) {
    const int digits = static_cast<int>(text.size());
    const int n = (2 + 4 * digits + 20) / 21;
    std::vector<std::uint32_t> words(static_cast<std::size_t>(n), 0u);
    const auto put = [&words](int bit, std::uint32_t v) {
        if (v != 0) words[static_cast<std::size_t>(bit / 21)] |= 1u << (bit % 21);
    };
    int at = 2;
    for (const char c : text) {
        const int code = flex::NumericCode(c);
        for (int b = 0; b < 4; ++b) put(at + b, (static_cast<unsigned>(code) >> b) & 1u);
        at += 4;
    }
    while (at + 4 <= 21 * n) {
        for (int b = 0; b < 4; ++b) put(at + b, (static_cast<unsigned>(flex::NumericSpace) >> b) & 1u);
        at += 4;
    }
    flex::Vector v;
    v.type = type;
    v.words = n;
    const int k = flex::NumericCheck(words, flex::VectorInfo(v), false);
    vectorCheckLow = static_cast<std::uint32_t>(k & 0xF);
    words[0] |= static_cast<std::uint32_t>(k >> 4) & 3u;
    return words;
}

// Fragments of an alphanumeric text: header, then signature (or the
// continuation's control slot, sent as 0) and the characters, ETX fill.
std::vector<std::vector<std::uint32_t>> AlphaFragments(const std::string& text, int number, int perFragment) {
    std::vector<std::vector<std::uint32_t>> out;
    const int total = static_cast<int>(text.size());
    const int count = std::max(1, (total + perFragment - 1) / perFragment);
    for (int f = 0; f < count; ++f) {
        const std::string part = text.substr(static_cast<std::size_t>(f * perFragment), static_cast<std::size_t>(perFragment));
        std::vector<int> slots;
        slots.push_back(f == 0 ? flex::Signature(text) : 0);
        for (const char c : part) slots.push_back(static_cast<unsigned char>(c) & 0x7F);
        while (slots.size() % 3 != 0 || slots.size() < 3) slots.push_back(flex::EtxFill);
        std::vector<std::uint32_t> words(1, 0u);
        for (std::size_t i = 0; i < slots.size(); i += 3)
            words.push_back(static_cast<std::uint32_t>(slots[i]) | static_cast<std::uint32_t>(slots[i + 1]) << 7 |
                            static_cast<std::uint32_t>(slots[i + 2]) << 14);
        flex::AlphaHeader h;
        h.fragment = flex::FragmentCode(f);
        h.more = f + 1 < count;
        h.number = number & 0x3F;
        words[0] = flex::AlphaHeaderInfo(h);
        h.check = static_cast<int>(flex::FragmentCheck(words, flex::UncertainHeaderInFragmentCheck));
        words[0] = flex::AlphaHeaderInfo(h);
        out.push_back(std::move(words));
    }
    return out;
}

}  // namespace

std::string FlexCheckPage(const FlexPageToSend& p, Mode mode) {
    std::array<std::uint32_t, 2> words{};
    int count = 0;
    if (!flex::AddressWords(p.capcode, words, count)) return "capcode " + std::to_string(p.capcode) + " has no address";
    if (!PhaseInMode(mode, p.phase))
        return std::string("phase ") + static_cast<char>('A' + std::clamp(p.phase, 0, 3)) + " is not sent in mode " +
               flex::Info(mode).name;
    if (p.kind == Kind::Alpha) {
        for (const char c : p.text)
            if ((static_cast<unsigned char>(c) & 0x80) != 0) return "alphanumeric text must be 7-bit ASCII";
    }
    if (IsNumeric(p.kind) || p.kind == Kind::ShortNumeric) {
        const std::size_t limit = p.kind == Kind::ShortNumeric ? 3 : 41;
        if (p.text.empty() || p.text.size() > limit)
            return "numeric text must have 1.." + std::to_string(limit) + " characters";
        for (const char c : p.text)
            if (flex::NumericCode(c) < 0) return std::string("'") + c + "' cannot be sent in a numeric page";
    }
    if ((p.kind == Kind::Binary || p.kind == Kind::Secure) &&
        (p.words.empty() || p.words.size() > static_cast<std::size_t>(kMaxMessageWords - 1)))
        return "binary and secure pages need 1..84 words";
    return {};
}

FlexPageType FlexExpectedType(const FlexPageToSend& p) {
    switch (p.kind) {
        case Kind::Alpha: return FlexPageType::Alpha;
        case Kind::Tone: return FlexPageType::Tone;
        case Kind::Binary: return FlexPageType::Binary;
        case Kind::Secure: return FlexPageType::Secure;
        default: return FlexPageType::Numeric;
    }
}

std::vector<FlexFrameWords> FlexFrames(const FlexTransmission& t) {
    if (t.fragmentChars < 1 || t.fragmentChars > 249) throw std::invalid_argument("fragment length outside 1..249");
    std::vector<Item> items;
    std::map<std::uint64_t, int> numbers;
    for (const FlexPageToSend& p : t.pages) {
        const std::string error = FlexCheckPage(p, t.mode);
        if (!error.empty()) throw std::invalid_argument(error);
        Item base;
        flex::AddressWords(p.capcode, base.address, base.addressWords);
        base.phase = p.phase;
        switch (p.kind) {
            case Kind::Alpha: {
                const auto fragments = AlphaFragments(p.text, numbers[p.capcode]++, t.fragmentChars);
                const std::size_t first = items.size();
                for (std::size_t f = 0; f < fragments.size(); ++f) {
                    Item it = base;
                    it.vector.type = flex::VectorType::Alpha;
                    it.message = fragments[f];
                    it.minFrame = f == 0 ? 0 : -1;  // placed after the one before
                    items.push_back(it);
                    if (f > 0) items[first + f - 1].next = static_cast<int>(first + f);
                }
                continue;
            }
            case Kind::Numeric:
            case Kind::NumberedNumeric:
            case Kind::SpecialNumeric: {
                const flex::VectorType type = p.kind == Kind::Numeric         ? flex::VectorType::Numeric
                                              : p.kind == Kind::NumberedNumeric ? flex::VectorType::NumberedNumeric
                                                                                : flex::VectorType::SpecialNumeric;
                std::uint32_t low = 0;
                base.message = NumericWords(p.text, low, type);
                base.vector.type = type;
                base.vector.numericCheckLow = static_cast<int>(low);
                break;
            }
            case Kind::ShortNumeric: {
                base.vector.type = flex::VectorType::ShortMessage;
                base.vector.shortKind = 0;
                int d = 0;
                for (int k = 0; k < 3; ++k)
                    d |= (k < static_cast<int>(p.text.size()) ? flex::NumericCode(p.text[static_cast<std::size_t>(k)])
                                                              : flex::NumericSpace)
                         << (4 * k);
                base.vector.shortData = d;
                break;
            }
            case Kind::Tone:
                base.vector.type = flex::VectorType::ShortMessage;
                base.vector.shortKind = 1;
                break;
            case Kind::Binary:
            case Kind::Secure:
                base.vector.type = p.kind == Kind::Binary ? flex::VectorType::Binary : flex::VectorType::Secure;
                for (const std::uint32_t w : p.words) base.message.push_back(w & 0x1FFFFFu);
                break;
        }
        items.push_back(base);
    }

    std::vector<FlexFrameWords> frames;
    std::vector<bool> placed(items.size(), false);
    std::size_t left = items.size();
    for (int f = 0; f < t.frames || left > 0; ++f) {
        if (f > 100000) throw std::invalid_argument("pages do not fit");
        FlexFrameWords fw;
        const int absolute = t.cycle * flex::Frames + t.frame + f;
        fw.cycle = (absolute / flex::Frames) % flex::Cycles;
        fw.frame = absolute % flex::Frames;
        for (int phase = 0; phase < 4; ++phase) {
            // Choose the items for this phase's frame.
            std::vector<int> chosen;
            int used = 1;
            int addressWords = 0;
            for (std::size_t i = 0; i < items.size(); ++i) {
                const Item& it = items[i];
                if (placed[i] || it.phase != phase || it.minFrame < 0 || it.minFrame > f) continue;
                const int need = 2 * it.addressWords + static_cast<int>(it.message.size()) - (it.addressWords == 2 && !it.message.empty() ? 1 : 0);
                if (used + need > flex::WordsPerPhase) continue;
                used += need;
                addressWords += it.addressWords;
                chosen.push_back(static_cast<int>(i));
            }
            auto& words = fw.words[static_cast<std::size_t>(phase)];
            for (int w = 0; w < flex::WordsPerPhase; ++w) words[static_cast<std::size_t>(w)] = kIdle[static_cast<std::size_t>(w & 1)];
            const int vectorStart = 1 + addressWords;
            words[0] = flex::Biw1Info(0, vectorStart);
            int address = 1;
            int message = vectorStart + addressWords;
            for (const int i : chosen) {
                Item& it = items[static_cast<std::size_t>(i)];
                const int slot = vectorStart + (address - 1);
                for (int k = 0; k < it.addressWords; ++k) words[static_cast<std::size_t>(address++)] = it.address[static_cast<std::size_t>(k)];
                flex::Vector v = it.vector;
                const int n = static_cast<int>(it.message.size());
                std::size_t from = 0;
                if (it.addressWords == 2) {
                    if (n > 0) words[static_cast<std::size_t>(slot + 1)] = it.message[0];
                    from = 1;
                }
                if (v.type != flex::VectorType::ShortMessage) {
                    v.start = message;
                    v.words = n;
                }
                for (std::size_t k = from; k < it.message.size(); ++k) words[static_cast<std::size_t>(message++)] = it.message[k];
                words[static_cast<std::size_t>(slot)] = flex::VectorInfo(v);
                placed[static_cast<std::size_t>(i)] = true;
                --left;
                if (it.next >= 0) items[static_cast<std::size_t>(it.next)].minFrame = f + 1;
            }
            for (auto& w : words) w = flex::Encode(w);
        }
        frames.push_back(fw);
    }
    return frames;
}

FlexSymbols FlexFrameSymbols(Mode mode, const std::vector<FlexFrameWords>& frames) {
    const flex::ModeInfo& info = flex::Info(mode);
    FlexSymbols out;
    const auto header = [&out](int bit) {
        out.levels.push_back(bit != 0 ? 1.0f : -1.0f);
        out.rates.push_back(flex::HeaderRate);
    };
    const auto gray = [](int first, int second) {
        return first != 0 ? (second != 0 ? 1.0f / 3.0f : 1.0f) : (second != 0 ? -1.0f / 3.0f : -1.0f);
    };
    for (const FlexFrameWords& fw : frames) {
        for (int k = 0; k < flex::Sync1Lead; ++k) header(k % 2 == 0 ? 1 : 0);
        for (int k = 31; k >= 0; --k) header((info.syncA >> k) & 1u);
        for (int k = 15; k >= 0; --k) header((flex::SyncB >> k) & 1u);
        for (int k = 31; k >= 0; --k) header(((~info.syncA) >> k) & 1u);
        const std::uint32_t fiw = flex::Encode(flex::FiwInfo(fw.cycle, fw.frame));
        for (int k = 0; k < 32; ++k) header((fiw >> k) & 1u);
        const int sync2 = 40 * info.symbolRate / flex::HeaderRate;
        for (int k = 0; k < sync2; ++k) {
            out.levels.push_back(flex::UncertainSync2Alternating && k % 2 != 0 ? -1.0f : 1.0f);
            out.rates.push_back(static_cast<std::uint16_t>(info.symbolRate));
        }
        const auto bit = [&fw](int phase, int j) {
            const int block = j / 256, within = j % 256;
            const int word = block * flex::WordsPerBlock + within % flex::WordsPerBlock;
            return static_cast<int>((fw.words[static_cast<std::size_t>(phase)][static_cast<std::size_t>(word)] >> (within / 8)) & 1u);
        };
        for (int j = 0; j < flex::BitsPerPhase; ++j) {
            switch (mode) {
                case Mode::M1600_2: out.levels.push_back(bit(0, j) ? 1.0f : -1.0f); break;
                case Mode::M3200_2:
                    out.levels.push_back(bit(0, j) ? 1.0f : -1.0f);
                    out.levels.push_back(bit(2, j) ? 1.0f : -1.0f);
                    break;
                case Mode::M3200_4: out.levels.push_back(gray(bit(0, j), bit(1, j))); break;
                case Mode::M6400_4:
                    out.levels.push_back(gray(bit(0, j), bit(1, j)));
                    out.levels.push_back(gray(bit(2, j), bit(3, j)));
                    break;
            }
        }
        out.rates.resize(out.levels.size(), static_cast<std::uint16_t>(info.symbolRate));
    }
    return out;
}

std::vector<double> FlexWaveform(const FlexSignal& s, const std::vector<FlexFrameWords>& frames) {
    if (s.sampleRate < 8000) throw std::invalid_argument("sample rate below 8000 Hz");
    if (!(std::fabs(s.clockPpm) <= 5000.0)) throw std::invalid_argument("clock error outside +-5000 ppm");
    const FlexSymbols sym = FlexFrameSymbols(s.mode, frames);
    const std::size_t count = sym.levels.size();
    const double scale = 1.0 + s.clockPpm * 1e-6;
    std::vector<double> start(count + 1, 0.0);
    for (std::size_t k = 0; k < count; ++k) start[k + 1] = start[k] + 1.0 / (sym.rates[k] * scale);
    const double fs = s.sampleRate;
    const auto length = static_cast<std::size_t>(std::llround(start[count] * fs));
    std::vector<double> out(length, 0.0);
    if (length == 0) return out;
    const double sign = s.inverted ? -1.0 : 1.0;
    const auto level = [&](long long k) {
        return (k < 0 || k >= static_cast<long long>(count)) ? 0.0 : sign * sym.levels[static_cast<std::size_t>(k)];
    };
    const double rate = flex::Info(s.mode).symbolRate;
    const double sigmaTx = std::sqrt(std::log(2.0)) / (2.0 * kPi * kTransmitBandwidthPerRate * rate);
    const double sigmaRx = std::sqrt(std::log(2.0)) / (2.0 * kPi * kReceiverBandwidthHz);
    const double sigma = std::sqrt(sigmaTx * sigmaTx + sigmaRx * sigmaRx);
    const double reachTime = 7.0 * sigma;
    std::size_t j = 0;
    for (std::size_t n = 0; n < length; ++n) {
        const double t = static_cast<double>(n) / fs;
        while (j + 1 < count && start[j + 1] <= t) ++j;
        // Edges within reach either side; earlier ones have settled.
        long long lo = static_cast<long long>(j);
        while (lo > 0 && t - start[static_cast<std::size_t>(lo)] < reachTime) --lo;
        long long hi = static_cast<long long>(j) + 1;
        while (hi < static_cast<long long>(count) && start[static_cast<std::size_t>(hi)] - t < reachTime) ++hi;
        double v = level(lo - 1);
        for (long long k = lo; k <= hi; ++k) {
            const double step = level(k) - level(k - 1);
            if (step != 0.0) v += step * 0.5 * std::erfc(-(t - start[static_cast<std::size_t>(k)]) / (sigma * std::sqrt(2.0)));
        }
        out[n] = v;
    }
    if (s.output == FlexSignal::Output::Discriminator) {
        dsp::Biquad coupling = dsp::FirstOrderHighPass(kCouplingHighPassHz, fs);
        for (double& x : out) x = coupling.Step(x);
    } else {
        dsp::Biquad deEmphasis = dsp::FirstOrderLowPass(kDeEmphasisHz, fs);
        dsp::Biquad subAudio = dsp::ButterworthHighPass(kSubAudioHighPassHz, fs);
        dsp::Biquad audioLow = dsp::ButterworthLowPass(std::min(kAudioLowPassHz, 0.45 * fs), fs);
        for (double& x : out) x = audioLow.Step(subAudio.Step(deEmphasis.Step(x)));
    }
    double peak = 0.0;
    for (const double x : out) peak = std::max(peak, std::fabs(x));
    if (peak > 0.0)
        for (double& x : out) x *= s.level / peak;
    return out;
}

}  // namespace quorvel::gen
