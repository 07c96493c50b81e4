// POCSAG test-signal generator: calls -> codewords -> batches -> receiver audio.
//
// The codeword side is the exact inverse of what a decoder reads: see the layout
// in pocsag_gen.h. The audio side models what reaches a sound card from a
// scanner receiver:
//
// Discriminator output. The transmitter keys the carrier by +/- deviation with a
// Gaussian premodulation filter (3 dB bandwidth 0.8 x bit rate), and the
// receiver's IF and discriminator limit the band again (Gaussian, 4 kHz). Both
// Gaussians together are one Gaussian step response per bit edge, evaluated in
// closed form (normal distribution function) at the exact edge time k / rate,
// so edges are never rounded to whole samples and any rate works. Before the
// first bit and after the last the level is 0 (unmodulated carrier), reached by
// the same rounded step. The tap and the sound card couple through a capacitor:
// a first-order high-pass at 2 Hz, which lets a long run sag a little without
// touching the bit edges.
//
// Line output. The same discriminator signal through the receiver's audio path:
// de-emphasis (first-order low-pass, 300 Hz), the sub-audio high-pass that keeps
// CTCSS tones out of the loudspeaker (second-order Butterworth, 300 Hz) and the
// audio low-pass (second-order Butterworth, 3 kHz). The band-pass turns each
// bit edge into a swing that peaks shortly after the edge and then droops back
// towards zero, so a long run sags to nothing and the runs show as a train of
// alternating peaks. At 2400 bit/s the peaks of short and long runs no longer sit
// at the same distance from their edges: that is what a loudspeaker tap does to
// fast data.
//
// Both outputs are scaled at the end so that the largest absolute sample equals
// the requested level.
#include "gen/pocsag_gen.h"

#include "core/biquad.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace quorvel::gen {
namespace {

constexpr double kPi = 3.14159265358979323846;

constexpr std::uint32_t kGenerator = 0x769u;  // x^10 + x^9 + x^8 + x^6 + x^5 + x^3 + 1

// Premodulation and receiver bandwidths of the discriminator model.
constexpr double kTransmitBandwidthPerBitRate = 0.8;
constexpr double kReceiverBandwidthHz = 4000.0;
constexpr double kCouplingHighPassHz = 2.0;
// Audio path of the line output.
constexpr double kDeEmphasisHz = 300.0;
constexpr double kSubAudioHighPassHz = 300.0;
constexpr double kAudioLowPassHz = 3000.0;

constexpr char kNumericChars[] = "0123456789 U -][";
constexpr int kNumericSpace = 12;

// Decode one UTF-8 code point from text at i (advancing i); -1 when malformed.
long NextCodePoint(const std::string& text, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b0 = byte(i);
    int extra = 0;
    long cp = 0;
    if (b0 < 0x80) {
        cp = b0;
    } else if ((b0 & 0xE0) == 0xC0) {
        extra = 1;
        cp = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2;
        cp = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3;
        cp = b0 & 0x07;
    } else {
        ++i;
        return -1;
    }
    ++i;
    for (int k = 0; k < extra; ++k, ++i) {
        if (i >= text.size() || (byte(i) & 0xC0) != 0x80) return -1;
        cp = (cp << 6) | (byte(i) & 0x3F);
    }
    return cp;
}

// The 7-bit code of a code point, or -1 when it has none.
int AlphaCode(long cp) {
    if (cp >= 0 && cp < 128) return static_cast<int>(cp);
    switch (cp) {
        case 0xC4: return 91;   // Ä
        case 0xD6: return 92;   // Ö
        case 0xDC: return 93;   // Ü
        case 0xE4: return 123;  // ä
        case 0xF6: return 124;  // ö
        case 0xFC: return 125;  // ü
        case 0xDF: return 126;  // ß
        default: return -1;
    }
}

int NumericCode(long cp) {
    if (cp == ' ') return kNumericSpace;
    for (int v = 0; v < 16; ++v)
        if (v != 10 && v != 12 && static_cast<long>(static_cast<unsigned char>(kNumericChars[v])) == cp) return v;
    return -1;
}

// Codes of the message text, or an error text.
std::string MessageCodes(const PocsagMessage& m, std::vector<int>& codes) {
    codes.clear();
    if (m.kind == PocsagMessage::Kind::ToneOnly) return {};
    const bool numeric = m.kind == PocsagMessage::Kind::Numeric;
    std::size_t i = 0;
    while (i < m.text.size()) {
        const std::size_t at = i;
        const long cp = NextCodePoint(m.text, i);
        if (cp < 0) return "text is not valid UTF-8 at byte " + std::to_string(at);
        const int code = numeric ? NumericCode(cp) : AlphaCode(cp);
        if (code < 0) {
            std::string error(1, '"');
            error.append(m.text, at, i - at);
            error.append(numeric ? "\" cannot be sent in a numeric message (digits, space, U, -, ], [)"
                                 : "\" cannot be sent in an alphanumeric message (7-bit ASCII and Ä Ö Ü ä ö ü ß)");
            return error;
        }
        codes.push_back(code);
    }
    return {};
}

// Message codeword from 20 message bits.
std::uint32_t MessageCodeword(std::uint32_t bits20) { return PocsagEncodeBch((1u << 20) | (bits20 & 0xFFFFFu)); }

// Packs codes of `width` bits, first bit sent = least significant bit of a code,
// into message codewords, 20 bits each from bit 30 down. The last codeword is
// filled up with `fill` codes (cut where they do not fit).
std::vector<std::uint32_t> PackCodes(const std::vector<int>& codes, int width, int fill) {
    std::vector<std::uint32_t> words;
    std::uint32_t bits = 0;
    int used = 0;
    const auto put = [&](int bit) {
        bits = (bits << 1) | static_cast<std::uint32_t>(bit);
        if (++used == 20) {
            words.push_back(MessageCodeword(bits));
            bits = 0;
            used = 0;
        }
    };
    for (const int code : codes)
        for (int b = 0; b < width; ++b) put((code >> b) & 1);
    while (used != 0) {
        for (int b = 0; b < width && used != 0; ++b) put((fill >> b) & 1);
    }
    return words;
}

// Normal distribution function.
double Phi(double z) { return 0.5 * std::erfc(-z / std::sqrt(2.0)); }

using dsp::Biquad;

// Butterworth (Q = 1/sqrt 2) low- or high-pass, and first-order sections.
Biquad Butterworth(double cornerHz, double sampleRate, bool highPass) {
    return highPass ? dsp::ButterworthHighPass(cornerHz, sampleRate) : dsp::ButterworthLowPass(cornerHz, sampleRate);
}
Biquad FirstOrder(double cornerHz, double sampleRate, bool highPass) {
    return highPass ? dsp::FirstOrderHighPass(cornerHz, sampleRate) : dsp::FirstOrderLowPass(cornerHz, sampleRate);
}

}  // namespace

std::uint32_t PocsagCheckRemainder(std::uint32_t codeword) {
    std::uint32_t a = codeword >> 1;
    for (int n = 30; n >= 10; --n)
        if ((a >> n) & 1u) a ^= kGenerator << (n - 10);
    return a & 0x3FFu;
}

bool PocsagParityEven(std::uint32_t codeword) {
    int ones = 0;
    for (; codeword != 0; codeword &= codeword - 1) ++ones;
    return ones % 2 == 0;
}

std::uint32_t PocsagEncodeBch(std::uint32_t data21) {
    const std::uint32_t shifted = (data21 & 0x1FFFFFu) << 10;  // bits 30..10 of the 31-bit code
    std::uint32_t remainder = shifted;
    for (int n = 30; n >= 10; --n)
        if ((remainder >> n) & 1u) remainder ^= kGenerator << (n - 10);
    std::uint32_t codeword = (shifted | (remainder & 0x3FFu)) << 1;
    if (!PocsagParityEven(codeword)) codeword |= 1u;
    return codeword;
}

std::string PocsagCheckMessage(const PocsagMessage& m) {
    if (m.address > kPocsagMaxAddress) return "address " + std::to_string(m.address) + " is above 2097151";
    if (m.function < 0 || m.function > 3) return "function " + std::to_string(m.function) + " is not 0..3";
    std::vector<int> codes;
    return MessageCodes(m, codes);
}

std::vector<std::uint32_t> PocsagMessageCodewords(const PocsagMessage& m) {
    const std::string error = PocsagCheckMessage(m);
    if (!error.empty()) throw std::invalid_argument(error);
    std::vector<int> codes;
    MessageCodes(m, codes);
    std::vector<std::uint32_t> words;
    words.push_back(PocsagEncodeBch(((m.address >> 3) << 2) | static_cast<std::uint32_t>(m.function)));
    std::vector<std::uint32_t> body;
    if (m.kind == PocsagMessage::Kind::Numeric) body = PackCodes(codes, 4, kNumericSpace);
    if (m.kind == PocsagMessage::Kind::Alphanumeric) body = PackCodes(codes, 7, 0);
    words.insert(words.end(), body.begin(), body.end());
    return words;
}

std::vector<std::uint32_t> PocsagCodewords(const std::vector<PocsagMessage>& messages) {
    std::vector<std::uint32_t> out;
    int slot = 0;  // codeword position 0..15 within the current batch
    const auto put = [&](std::uint32_t cw) {
        if (slot == 0) out.push_back(kPocsagSyncCodeword);
        out.push_back(cw);
        slot = (slot + 1) % 16;
    };
    for (const PocsagMessage& m : messages) {
        const std::vector<std::uint32_t> words = PocsagMessageCodewords(m);
        const int frame = static_cast<int>(m.address & 7u);
        while (slot / 2 != frame) put(kPocsagIdleCodeword);
        for (const std::uint32_t cw : words) put(cw);
    }
    int trailing = 0;
    while (trailing < 2 || slot != 0) {
        put(kPocsagIdleCodeword);
        ++trailing;
    }
    return out;
}

std::vector<std::uint8_t> PocsagTransmissionBits(int preambleBits, const std::vector<std::uint32_t>& codewords) {
    if (preambleBits < 0) throw std::invalid_argument("negative preamble length");
    std::vector<std::uint8_t> bits;
    bits.reserve(static_cast<std::size_t>(preambleBits) + 32 * codewords.size());
    for (int i = 0; i < preambleBits; ++i) bits.push_back(i % 2 == 0 ? 1 : 0);
    for (const std::uint32_t cw : codewords)
        for (int b = 31; b >= 0; --b) bits.push_back(static_cast<std::uint8_t>((cw >> b) & 1u));
    return bits;
}

std::vector<double> PocsagWaveform(const PocsagSignal& s, const std::vector<std::uint32_t>& codewords) {
    if (!(s.bitRate >= 400.0 && s.bitRate <= 2800.0)) throw std::invalid_argument("bit rate outside 400..2800 bit/s");
    if (s.sampleRate < 8000) throw std::invalid_argument("sample rate below 8000 Hz");
    const std::vector<std::uint8_t> bits = PocsagTransmissionBits(s.preambleBits, codewords);
    const auto nbits = static_cast<long long>(bits.size());
    const double fs = s.sampleRate;
    const double rate = s.bitRate;
    const auto length = static_cast<std::size_t>(std::llround(static_cast<double>(nbits) * fs / rate));
    std::vector<double> out(length, 0.0);
    if (length == 0) return out;

    // Level of bit k, 0 outside the transmission.
    const double sign = s.inverted ? -1.0 : 1.0;
    const auto level = [&](long long k) { return (k < 0 || k >= nbits) ? 0.0 : (bits[static_cast<std::size_t>(k)] ? sign : -sign); };

    // One Gaussian for premodulation filter and receiver together.
    const double sigmaTx = std::sqrt(std::log(2.0)) / (2.0 * kPi * kTransmitBandwidthPerBitRate * rate);
    const double sigmaRx = std::sqrt(std::log(2.0)) / (2.0 * kPi * kReceiverBandwidthHz);
    const double sigma = std::sqrt(sigmaTx * sigmaTx + sigmaRx * sigmaRx);
    const auto reach = static_cast<long long>(std::ceil(7.0 * sigma * rate)) + 1;  // edges further away are settled

    for (std::size_t n = 0; n < length; ++n) {
        const double t = static_cast<double>(n) / fs;
        const auto j = static_cast<long long>(std::floor(t * rate));
        double v = level(j - reach - 1);
        for (long long k = j - reach; k <= j + reach + 1; ++k) {
            const double step = level(k) - level(k - 1);  // edge at the start of bit k
            if (step != 0.0) v += step * Phi((t - static_cast<double>(k) / rate) / sigma);
        }
        out[n] = v;
    }

    if (s.output == PocsagSignal::Output::Discriminator) {
        Biquad coupling = FirstOrder(kCouplingHighPassHz, fs, true);
        for (double& x : out) x = coupling.Step(x);
    } else {
        Biquad deEmphasis = FirstOrder(kDeEmphasisHz, fs, false);
        Biquad subAudio = Butterworth(kSubAudioHighPassHz, fs, true);
        Biquad audioLow = Butterworth(std::min(kAudioLowPassHz, 0.45 * fs), fs, false);
        for (double& x : out) x = audioLow.Step(subAudio.Step(deEmphasis.Step(x)));
    }

    double peak = 0.0;
    for (const double x : out) peak = std::max(peak, std::abs(x));
    if (peak > 0.0)
        for (double& x : out) x = x * (s.level / peak);
    return out;
}

void PocsagFlipBits(std::vector<std::uint32_t>& codewords, const std::vector<PocsagFlip>& flips) {
    for (const PocsagFlip& f : flips) {
        if (f.codeword == kPocsagEveryCodeword) {
            // Sync codewords stand every 17th place from the first.
            for (std::size_t i = 0; i < codewords.size(); ++i)
                if (i % 17 != 0) codewords[i] ^= f.bits;
            continue;
        }
        if (f.codeword >= codewords.size())
            throw std::invalid_argument("codeword " + std::to_string(f.codeword) + " is beyond the last (" +
                                        std::to_string(codewords.size() - 1) + ")");
        codewords[f.codeword] ^= f.bits;
    }
}

}  // namespace quorvel::gen
