#include "fms_gen.h"

#include <cmath>
#include <numbers>

namespace quorvel::gen {

namespace {

// x^7 + x^6 + x^2 + 1 with and without its leading term.
constexpr std::uint32_t Generator = 0xC5u;
constexpr std::uint32_t GeneratorLow = 0x45u;
constexpr std::uint8_t SyncWord = 0x1A;
constexpr int BitRate = 1200;

void PutField(FmsBlockBits& bits, int first, int width, int value) {
    for (int k = 0; k < width; ++k) bits[static_cast<std::size_t>(first + k)] = static_cast<std::uint8_t>((value >> k) & 1);
}

}  // namespace

std::array<std::uint8_t, 7> FmsCheckBits(const FmsBlockBits& bits) {
    std::uint32_t reg = 0;
    for (int k = 0; k < 40; ++k) {
        const std::uint32_t feedback = ((reg >> 6) & 1u) ^ (bits[static_cast<std::size_t>(k)] & 1u);
        reg = (reg << 1) & 0x7Fu;
        if (feedback != 0) reg ^= GeneratorLow;
    }
    std::array<std::uint8_t, 7> check{};
    for (int k = 0; k < 7; ++k) check[static_cast<std::size_t>(k)] = static_cast<std::uint8_t>((reg >> (6 - k)) & 1u);
    return check;
}

std::uint32_t FmsSyndrome(const FmsBlockBits& bits) {
    std::uint32_t r = 0;
    for (int k = 0; k < 47; ++k) {
        r = (r << 1) | (bits[static_cast<std::size_t>(k)] & 1u);
        if ((r & 0x80u) != 0) r ^= Generator;
    }
    return r;
}

void FmsFillCheckPart(FmsBlockBits& bits) {
    const auto check = FmsCheckBits(bits);
    for (int k = 0; k < 7; ++k) bits[static_cast<std::size_t>(40 + k)] = check[static_cast<std::size_t>(k)];
    bits[47] = 0;
}

FmsBlockBits FmsStatusBits(const FmsStatusTelegram& t) {
    FmsBlockBits bits{};
    PutField(bits, 0, 4, t.organisation);
    PutField(bits, 4, 4, t.land);
    PutField(bits, 8, 4, t.location[0]);
    PutField(bits, 12, 4, t.location[1]);
    for (int d = 0; d < 4; ++d) PutField(bits, 16 + 4 * d, 4, t.vehicle[static_cast<std::size_t>(d)]);
    PutField(bits, 32, 4, t.status);
    PutField(bits, 36, 1, t.buildStage);
    PutField(bits, 37, 1, t.direction);
    PutField(bits, 38, 2, t.tactical);
    FmsFillCheckPart(bits);
    return bits;
}

std::vector<FmsBlockBits> FmsTextBlocks(int number, const std::string& text) {
    std::vector<FmsBlockBits> blocks;
    std::size_t next = 0;
    auto take = [&]() -> int {
        if (next >= text.size()) return ' ';
        return static_cast<unsigned char>(text[next++]) & 0x7F;
    };
    FmsBlockBits first{};
    PutField(first, 1, 6, number);
    for (int a = 8; a <= 24; a += 8) PutField(first, a, 7, take());
    FmsFillCheckPart(first);
    blocks.push_back(first);
    while (next < text.size()) {
        FmsBlockBits block{};
        for (int a = 0; a <= 24; a += 8) PutField(block, a, 7, take());
        FmsFillCheckPart(block);
        blocks.push_back(block);
    }
    return blocks;
}

std::vector<std::uint8_t> FmsTransmissionBits(const FmsTransmission& tx) {
    std::vector<std::uint8_t> bits(static_cast<std::size_t>(tx.preambleBits > 0 ? tx.preambleBits : 0), 1);
    for (int k = 7; k >= 0; --k) bits.push_back(static_cast<std::uint8_t>((SyncWord >> k) & 1));
    const FmsBlockBits status = FmsStatusBits(tx.telegram);
    bits.insert(bits.end(), status.begin(), status.end());
    if (tx.withText) {
        for (const FmsBlockBits& block : FmsTextBlocks(tx.textNumber, tx.text)) bits.insert(bits.end(), block.begin(), block.end());
    }
    for (int k = 0; k < tx.tailBits; ++k) bits.push_back(1);
    return bits;
}

std::vector<double> FmsWaveform(const std::vector<std::uint8_t>& bits, double level, int sampleRate) {
    std::vector<double> out;
    if (bits.empty() || sampleRate <= 0) return out;
    const auto rate = static_cast<std::int64_t>(sampleRate);
    const auto nbits = static_cast<std::int64_t>(bits.size());
    // Samples strictly before the end of the last bit: n * 1200 < nbits * rate.
    const std::int64_t count = (nbits * rate + BitRate - 1) / BitRate;
    out.resize(static_cast<std::size_t>(count));
    double base = 0.0;  // phase in cycles at the start of the current bit, modulo 1
    std::int64_t bit = 0;
    for (std::int64_t n = 0; n < count; ++n) {
        const std::int64_t j = n * BitRate / rate;
        while (bit < j) {
            base += bits[static_cast<std::size_t>(bit)] != 0 ? 1.0 : 1.5;
            base -= std::floor(base);
            ++bit;
        }
        const double cycles = bits[static_cast<std::size_t>(j)] != 0 ? 1.0 : 1.5;
        const double within = static_cast<double>(n * BitRate - j * rate) / static_cast<double>(rate);
        out[static_cast<std::size_t>(n)] = level * std::sin(2.0 * std::numbers::pi * (base + cycles * within));
    }
    return out;
}

}  // namespace quorvel::gen
