// FLEX air format: words, check characters, addresses, vectors and message
// packing (see flex_protocol.h).
#include "flex_protocol.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace quorvel::flex {

namespace {

constexpr std::uint32_t kGenerator = 0x769u;  // x^10 + x^9 + x^8 + x^6 + x^5 + x^3 + 1

constexpr std::array<ModeInfo, ModeCount> kModes = {{
    {"1600/2", 0x78F35939u, 1600, 2, 1},
    {"3200/2", 0x84E75939u, 3200, 2, 2},
    {"3200/4", 0x4F975939u, 1600, 4, 2},
    {"6400/4", 0x215F5939u, 3200, 4, 4},
}};

// Bits 0..n-1 of v in reverse order.
std::uint32_t Reverse(std::uint32_t v, int n) {
    std::uint32_t r = 0;
    for (int k = 0; k < n; ++k) r |= ((v >> k) & 1u) << (n - 1 - k);
    return r;
}

// Remainder of a polynomial (bit t = coefficient of x^t, degree < 31) by g(x).
std::uint32_t Remainder(std::uint32_t poly) {
    for (int n = 30; n >= 10; --n)
        if ((poly >> n) & 1u) poly ^= kGenerator << (n - 10);
    return poly & 0x3FFu;
}

std::uint32_t Field(std::uint32_t info, int a, int b) { return (info >> a) & ((1u << (b - a + 1)) - 1u); }

std::uint32_t NibbleSum(std::uint32_t info) {
    return Field(info, 0, 3) + Field(info, 4, 7) + Field(info, 8, 11) + Field(info, 12, 15) + Field(info, 16, 19) +
           Field(info, 20, 20);
}

}  // namespace

const ModeInfo& Info(Mode m) { return kModes[static_cast<std::size_t>(m)]; }

int PhaseLetter(Mode m, int index) {
    switch (m) {
        case Mode::M1600_2: return 0;
        case Mode::M3200_2: return index == 0 ? 0 : 2;
        case Mode::M3200_4: return index;
        case Mode::M6400_4: return index;
    }
    return 0;
}

// ----- words -----

std::uint32_t Syndrome(std::uint32_t word) {
    // Bit k is the coefficient of x^(30 - k).
    return Remainder(Reverse(word & 0x7FFFFFFFu, 31));
}

std::uint32_t UncertainParity(std::uint32_t word31) {
    return (std::popcount(word31 & 0x7FFFFFFFu) & 1) != 0 ? 0x80000000u : 0u;
}

std::uint32_t Encode(std::uint32_t info) {
    info &= 0x1FFFFFu;
    const std::uint32_t p = Remainder(Reverse(info, 21) << 10);
    std::uint32_t word = info;
    for (int j = 0; j < 10; ++j) word |= ((p >> (9 - j)) & 1u) << (21 + j);
    return word | UncertainParity(word);
}

bool CheckCharacterFits(std::uint32_t info) { return (NibbleSum(info & 0x1FFFFFu) & 0xFu) == 0xFu; }

std::uint32_t WithCheckCharacter(std::uint32_t info) {
    info &= 0x1FFFF0u;
    return info | (~NibbleSum(info) & 0xFu);
}

Corrector::Corrector() {
    for (int i = 0; i < 31; ++i) bitSyndrome_[static_cast<std::size_t>(i)] = Syndrome(1u << i);
    for (int i = 0; i < 31; ++i) {
        pattern_[Syndrome(1u << i)] = 1u << i;
        for (int j = i + 1; j < 31; ++j) pattern_[Syndrome((1u << i) | (1u << j))] = (1u << i) | (1u << j);
    }
}

Corrected Corrector::Hard(std::uint32_t word) const {
    Corrected c;
    word &= 0x7FFFFFFFu;
    const std::uint32_t s = Syndrome(word);
    c.word = word;
    if (s == 0) {
        c.ok = true;
        return c;
    }
    const std::uint32_t p = pattern_[s];
    if (p == 0) return c;
    c.word = word ^ p;
    c.ok = true;
    c.flipped = std::popcount(p);
    return c;
}

Corrected Corrector::Soft(std::uint32_t word, std::span<const float, 32> soft, int chaseBits, bool parity) const {
    const bool parityBit = (word >> 31) != 0;
    word &= 0x7FFFFFFFu;
    chaseBits = std::clamp(chaseBits, 1, MaxChaseBits);
    // With the parity bit trusted, a codeword whose parity disagrees with the
    // received bit 31 pays that bit's reliability too.
    const float parityCost = parity ? std::fabs(soft[31]) : 0.0f;
    const auto cost = [&](std::uint32_t change) {
        double sum = 0.0;
        const bool odd = (std::popcount((word ^ change)) & 1) != 0;
        if (odd != parityBit) sum += parityCost;
        for (; change != 0; change &= change - 1) sum += std::fabs(soft[static_cast<std::size_t>(std::countr_zero(change))]);
        return sum;
    };
    Corrected best = Hard(word);
    if (best.ok) {
        best.cost = cost(best.word ^ word);
        if (best.flipped <= 1 && chaseBits <= ChaseBits) {
            best.received = word;
            best.parityEven = ((std::popcount(best.word) & 1) != 0) == parityBit;
            return best;
        }
    }
    // The least reliable bits, weakest first: the chaseBits flipped, and the
    // three after them.
    constexpr int kBeyond = 3;
    const int kept = chaseBits + kBeyond;
    std::array<int, MaxChaseBits + kBeyond> weak{};
    std::array<float, MaxChaseBits + kBeyond> weakness{};
    weakness.fill(1e30f);
    for (int k = 0; k < 31; ++k) {
        const float a = std::fabs(soft[static_cast<std::size_t>(k)]);
        int at = kept;
        while (at > 0 && a < weakness[static_cast<std::size_t>(at - 1)]) --at;
        if (at == kept) continue;
        for (int m = kept - 1; m > at; --m) {
            weakness[static_cast<std::size_t>(m)] = weakness[static_cast<std::size_t>(m - 1)];
            weak[static_cast<std::size_t>(m)] = weak[static_cast<std::size_t>(m - 1)];
        }
        weakness[static_cast<std::size_t>(at)] = a;
        weak[static_cast<std::size_t>(at)] = k;
    }
    // The cheapest codeword met wins; the next cheapest is its rival. A
    // codeword the search cannot meet differs from the word received in at
    // least three bits besides the flipped ones: it costs at least the three
    // next least reliable, and the margin is never taken beyond that.
    const double unmet = static_cast<double>(weakness[static_cast<std::size_t>(chaseBits)]) +
                         weakness[static_cast<std::size_t>(chaseBits + 1)] + weakness[static_cast<std::size_t>(chaseBits + 2)];
    double second = 1e9;
    std::uint32_t rival = 0;
    // Flip patterns in Gray-code order: one bit changes per step, and so
    // does the syndrome, by that bit's own.
    std::uint32_t flip = 0;
    std::uint32_t syndrome = Syndrome(word);
    for (int combo = 1; combo < (1 << chaseBits); ++combo) {
        const int m = std::countr_zero(static_cast<unsigned>(combo));
        const int bit = weak[static_cast<std::size_t>(m)];
        flip ^= 1u << bit;
        syndrome ^= bitSyndrome_[static_cast<std::size_t>(bit)];
        const std::uint32_t fix = pattern_[syndrome];
        if (syndrome != 0 && fix == 0) continue;
        const std::uint32_t candidate = word ^ flip ^ fix;
        if (best.ok && candidate == best.word) continue;
        const std::uint32_t change = candidate ^ word;
        const double k = cost(change);
        if (!best.ok || k < best.cost) {
            if (best.ok) {
                second = best.cost;
                rival = best.word;
            }
            best.word = candidate;
            best.ok = true;
            best.flipped = std::popcount(change);
            best.cost = k;
        } else if (k < second && candidate != rival) {
            second = k;
            rival = candidate;
        }
    }
    best.hasRival = second < 1e9;
    best.rival = rival;
    best.received = word;
    if (best.ok) best.margin = std::min(second, unmet) - best.cost;
    if (!best.ok) best.word = word;
    best.parityEven = ((std::popcount(best.word) & 1) != 0) == parityBit;
    return best;
}

// ----- FIW -----

std::uint32_t FiwInfo(int cycle, int frame) {
    return WithCheckCharacter((static_cast<std::uint32_t>(cycle) & 0xFu) << 4 |
                              (static_cast<std::uint32_t>(frame) & 0x7Fu) << 8);
}

bool ParseFiw(std::uint32_t info, Fiw& out) {
    if (!CheckCharacterFits(info)) return false;
    out.cycle = static_cast<int>(Field(info, 4, 7));
    out.frame = static_cast<int>(Field(info, 8, 14));
    out.repeat = Field(info, 16, 16) != 0;
    out.traffic = static_cast<int>(Field(info, 17, 20));
    return out.cycle < Cycles;
}

// ----- BIW1 -----

Biw1 ParseBiw1(std::uint32_t info) {
    Biw1 b;
    b.priority = static_cast<int>(Field(info, 4, 7));
    b.extraBiws = static_cast<int>(Field(info, 8, 9));
    b.vectorStart = static_cast<int>(Field(info, 10, 15));
    b.carryOn = static_cast<int>(Field(info, 16, 17));
    b.collapse = static_cast<int>(Field(info, 18, 20));
    return b;
}

std::uint32_t Biw1Info(int extraBiws, int vectorStart) {
    return WithCheckCharacter((static_cast<std::uint32_t>(extraBiws) & 3u) << 8 |
                              (static_cast<std::uint32_t>(vectorStart) & 0x3Fu) << 10);
}

// ----- addresses -----

AddressWord ClassifyAddress(std::uint32_t info) {
    info &= 0x1FFFFFu;
    if (info == 0 || info == 0x1FFFFFu) return AddressWord::Idle;
    if (info <= 0x8000u) return AddressWord::LongFirst;
    if (info <= 0x1E0000u) return AddressWord::Short;
    if (info <= 0x1F0000u) return AddressWord::LongSecond;
    if (info < 0x1F7FFFu) return AddressWord::Short;
    return AddressWord::LongSecond;
}

std::uint64_t ShortCapcode(std::uint32_t info) { return (info & 0x1FFFFFu) - 0x8000u; }

std::uint64_t LongCapcode(std::uint32_t first, std::uint32_t second) {
    const std::uint64_t w1 = first & 0x1FFFFFu;
    const std::uint64_t w2 = second & 0x1FFFFFu;
    if (w2 >= 0x1F7FFFu) return w1 + 32768ull * (0x1FFFFFull - w2) + 2068480ull;  // set 1-2
    if (w2 >= 0x1E8001u) return (w2 - 0x1E8001u) * 32768ull + (w1 - 1) + 2149584897ull;  // set 1-4
    return (w2 - 0x1E0001u) * 32768ull + (w1 - 1) + 1075843073ull;                          // set 1-3
}

bool IsLongCapcode(std::uint64_t capcode) { return capcode >= LongCapcodeMin && capcode <= LongCapcodeMax; }

bool AddressWords(std::uint64_t capcode, std::array<std::uint32_t, 2>& words, int& count) {
    const bool plainShort = capcode >= 1 && capcode <= ShortCapcodeMax;
    const bool specialShort = capcode >= 0x1F0001u - 0x8000u && capcode <= 0x1F7FFEu - 0x8000u;
    if (plainShort || specialShort) {
        words[0] = static_cast<std::uint32_t>(capcode + 0x8000u);
        count = 1;
        return true;
    }
    if (!IsLongCapcode(capcode)) return false;
    count = 2;
    if (capcode <= 1075843072ull) {
        const std::uint64_t x = capcode - 2101249ull;
        words = {static_cast<std::uint32_t>(x % 32768 + 1), static_cast<std::uint32_t>(0x1FFFFEu - x / 32768)};
    } else if (capcode <= 2149584896ull) {
        const std::uint64_t x = capcode - 1075843073ull;
        words = {static_cast<std::uint32_t>(x % 32768 + 1), static_cast<std::uint32_t>(0x1E0001u + x / 32768)};
    } else {
        const std::uint64_t x = capcode - 2149584897ull;
        words = {static_cast<std::uint32_t>(x % 32768 + 1), static_cast<std::uint32_t>(0x1E8001u + x / 32768)};
    }
    return true;
}

// ----- vectors -----

Vector ParseVector(std::uint32_t info) {
    Vector v;
    v.type = static_cast<VectorType>(Field(info, 4, 6));
    v.start = static_cast<int>(Field(info, 7, 13));
    switch (v.type) {
        case VectorType::Numeric:
        case VectorType::SpecialNumeric:
        case VectorType::NumberedNumeric:
            v.words = static_cast<int>(Field(info, 14, 16)) + 1;
            v.numericCheckLow = static_cast<int>(Field(info, 17, 20));
            break;
        case VectorType::ShortMessage:
            v.start = 0;
            v.shortKind = static_cast<int>(Field(info, 7, 8));
            v.shortData = static_cast<int>(Field(info, 9, 20));
            break;
        default:
            v.words = static_cast<int>(Field(info, 14, 20));
            break;
    }
    return v;
}

std::uint32_t VectorInfo(const Vector& v) {
    std::uint32_t info = static_cast<std::uint32_t>(v.type) << 4;
    switch (v.type) {
        case VectorType::Numeric:
        case VectorType::SpecialNumeric:
        case VectorType::NumberedNumeric:
            info |= (static_cast<std::uint32_t>(v.start) & 0x7Fu) << 7 | (static_cast<std::uint32_t>(v.words - 1) & 7u) << 14 |
                    (static_cast<std::uint32_t>(v.numericCheckLow) & 0xFu) << 17;
            break;
        case VectorType::ShortMessage:
            info |= (static_cast<std::uint32_t>(v.shortKind) & 3u) << 7 | (static_cast<std::uint32_t>(v.shortData) & 0xFFFu) << 9;
            break;
        default:
            info |= (static_cast<std::uint32_t>(v.start) & 0x7Fu) << 7 | (static_cast<std::uint32_t>(v.words) & 0x7Fu) << 14;
            break;
    }
    return WithCheckCharacter(info);
}

// ----- alphanumeric -----

AlphaHeader ParseAlphaHeader(std::uint32_t info) {
    AlphaHeader h;
    h.check = static_cast<int>(Field(info, 0, 9));
    h.more = Field(info, 10, 10) != 0;
    h.fragment = static_cast<int>(Field(info, 11, 12));
    h.number = static_cast<int>(Field(info, 13, 18));
    h.retrieval = Field(info, 19, 19) != 0;
    h.maildrop = Field(info, 20, 20) != 0;
    return h;
}

std::uint32_t AlphaHeaderInfo(const AlphaHeader& h) {
    return (static_cast<std::uint32_t>(h.check) & 0x3FFu) | (h.more ? 1u : 0u) << 10 |
           (static_cast<std::uint32_t>(h.fragment) & 3u) << 11 | (static_cast<std::uint32_t>(h.number) & 0x3Fu) << 13 |
           (h.retrieval ? 1u : 0u) << 19 | (h.maildrop ? 1u : 0u) << 20;
}

int FragmentCode(int index) { return index == 0 ? 3 : (index - 1) % 3; }

std::uint32_t GroupSum(std::uint32_t info) { return Field(info, 0, 7) + Field(info, 8, 15) + Field(info, 16, 20); }

std::uint32_t FragmentCheck(std::span<const std::uint32_t> words, bool withHeader) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i == 0 && !withHeader) continue;
        sum += GroupSum(i == 0 ? (words[i] & 0x1FFC00u) : (words[i] & 0x1FFFFFu));
    }
    return ~sum & 0x3FFu;
}

bool FragmentCheckFits(std::span<const std::uint32_t> words) {
    if (words.empty()) return false;
    const auto k = static_cast<std::uint32_t>(ParseAlphaHeader(words[0]).check);
    return k == FragmentCheck(words, true) || (!UncertainHeaderInFragmentCheck ? false : k == FragmentCheck(words, false));
}

void UnpackAlpha(std::span<const std::uint32_t> body, std::string& out, int& signature) {
    signature = -1;
    for (std::size_t w = 0; w < body.size(); ++w)
        for (int s = 0; s < 3; ++s) {
            const int c = static_cast<int>(Field(body[w], 7 * s, 7 * s + 6));
            if (w == 0 && s == 0) {
                signature = c;
                continue;
            }
            out.push_back(static_cast<char>(c));
        }
    while (!out.empty() && (out.back() == EtxFill || out.back() == 0)) out.pop_back();
}

int Signature(const std::string& text) {
    unsigned sum = 0;
    for (const char c : text) sum += static_cast<unsigned char>(c) & 0x7Fu;
    return static_cast<int>(~sum & 0x7Fu);
}

bool SignatureFits(std::span<const std::uint32_t> body) {
    if (body.empty()) return false;
    unsigned all = 0, fill = 0;
    int signature = -1;
    for (std::size_t w = 0; w < body.size(); ++w)
        for (int s = 0; s < 3; ++s) {
            const auto c = static_cast<unsigned>(Field(body[w], 7 * s, 7 * s + 6));
            if (w == 0 && s == 0) {
                signature = static_cast<int>(c);
                continue;
            }
            all += c;
            // Trailing fill: reset by any other character.
            fill = c == static_cast<unsigned>(EtxFill) || c == 0 ? fill + c : 0;
        }
    return signature == static_cast<int>(~(all - fill) & 0x7Fu) || signature == static_cast<int>(~all & 0x7Fu);
}

// ----- numeric -----

char NumericChar(int code) {
    static constexpr char kTable[] = "0123456789 U -][";
    return code == 0xA ? UncertainSpareNumeric : kTable[code & 0xF];
}

int NumericCode(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    switch (c) {
        case 'U': return 0xB;
        case ' ': return 0xC;
        case '-': return 0xD;
        case ']': return 0xE;
        case '[': return 0xF;
        default: return -1;
    }
}

void UnpackNumeric(std::span<const std::uint32_t> words, std::string& out) {
    const int bits = 21 * static_cast<int>(words.size());
    const auto bit = [&words](int b) { return (words[static_cast<std::size_t>(b / 21)] >> (b % 21)) & 1u; };
    const std::size_t begin = out.size();
    for (int at = 2; at + 4 <= bits; at += 4) {
        const int code = static_cast<int>(bit(at) | bit(at + 1) << 1 | bit(at + 2) << 2 | bit(at + 3) << 3);
        out.push_back(NumericChar(code));
    }
    while (out.size() > begin && out.back() == ' ') out.pop_back();
}

int NumericCheck(std::span<const std::uint32_t> words, std::uint32_t vectorInfo, bool withVector) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < words.size(); ++i) sum += GroupSum(i == 0 ? (words[i] & 0x1FFFFCu) : (words[i] & 0x1FFFFFu));
    if (withVector) sum += GroupSum(vectorInfo & 0x01FFFFu);
    sum &= 0xFFu;
    sum = (sum & 0x3Fu) + (sum >> 6);
    return static_cast<int>(~sum & 0x3Fu);
}

bool NumericCheckFits(std::span<const std::uint32_t> words, std::uint32_t vectorInfo) {
    if (words.empty()) return false;
    const int k = static_cast<int>(Field(vectorInfo, 17, 20) | (words[0] & 3u) << 4);
    return k == NumericCheck(words, vectorInfo, false) || k == NumericCheck(words, vectorInfo, true);
}

}  // namespace quorvel::flex
