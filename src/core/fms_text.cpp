// FMS telegrams: turns each 48-bit block in TelegramBits into an event.
//
// In: TelegramBits (each entry 0, 1, or 2 for an undecided bit) and BlockCount,
// which says what the block is: 0 the status telegram right after a sync, 1 the
// first follow-on block, 2 any further one. Out: an FmsTelegram event for the
// status telegram (also when a data bit was undecided), an FmsTextBlock event
// for each follow-on block whose data bits were all decided, FmsTextEnd when a
// follow-on text that had begun ends; FmsState set back to the preamble search
// when a block has an undecided bit among its 40 data bits.
//
// The check part (bits 40-47) is checked here for the events' sake; the
// specified text never shows the result.
#include <array>
#include <string>

#include "fms.h"

namespace quorvel {

std::uint32_t FmsCheckRemainder(const std::array<std::uint8_t, 48>& bits) {
    // x^7 + x^6 + x^2 + 1 without its x^7 term.
    constexpr std::uint32_t Generator = 0x45u;
    std::uint32_t r = 0;
    for (std::size_t k = 0; k < 40; ++k) {
        const std::uint32_t feedback = static_cast<std::uint32_t>(bits[k] == 1) ^ ((r >> 6) & 1u);
        r = (r << 1) & 0x7Fu;
        if (feedback != 0) r ^= Generator;
    }
    return r;
}

FmsCheck FmsCheckOf(const std::array<std::uint8_t, 48>& bits) {
    for (std::size_t k = 0; k < 47; ++k)
        if (bits[k] > 1) return FmsCheck::Undecided;
    const std::uint32_t r = FmsCheckRemainder(bits);
    for (std::size_t k = 0; k < 7; ++k)
        if (static_cast<std::uint32_t>(bits[40 + k]) != ((r >> (6 - k)) & 1u)) return FmsCheck::Failed;
    return FmsCheck::Ok;
}

std::uint16_t FmsDecoder::FmsBitField(std::uint8_t start, std::uint8_t end) const {
    if (end < start) return 0;
    std::uint32_t value = 0;
    for (std::uint32_t k = 0; k <= static_cast<std::uint32_t>(end - start); ++k) {
        const std::size_t bit = static_cast<std::size_t>(start) + k;
        if (bit >= TelegramBits.size()) break;
        value += static_cast<std::uint32_t>(TelegramBits[bit]) << k;
    }
    return static_cast<std::uint16_t>(value);
}

std::int64_t FmsDecoder::ReadPositionSample() const {
    // Every unread estimate is one half-cycle of its frequency; they fill the
    // input up to the end of this block.
    double samples = 0.0;
    const std::int32_t n = FmsRingDistance();
    for (std::int32_t j = 0; j < n; ++j) {
        const double f = FreqRing[static_cast<std::size_t>((FreqRead + j) & (RingSize - 1))];
        if (f > 0.0) samples += ctx_.SampleRate / (2.0 * f);
    }
    const double at = static_cast<double>(ctx_.BlockStart + FramesPerBlock) - samples;
    return at > 0.0 ? static_cast<std::int64_t>(at) : 0;
}

void FmsDecoder::FmsWriteTelegram() {
    std::int32_t u = 48;
    for (std::int32_t k = 0; k < 48; ++k) {
        if (TelegramBits[static_cast<std::size_t>(k)] == 2) {
            u = k;
            break;
        }
    }
    if (BlockCount == 0) {
        FmsTelegram telegram;
        telegram.at = {ReadPositionSample(), ctx_.clock.LocalNow()};
        telegram.bits = TelegramBits;
        telegram.firstUndecided = u;
        telegram.check = FmsCheckOf(TelegramBits);
        ctx_.events.OnEvent(telegram);
    }
    if (u < 40) {
        if (BlockCount > 1) ctx_.events.OnEvent(FmsTextEnd{{ReadPositionSample(), ctx_.clock.LocalNow()}, true});
        FmsState = fsSearchPreamble;
        return;
    }
    if (BlockCount > 0) {
        FmsTextBlock block;
        block.at = {ReadPositionSample(), ctx_.clock.LocalNow()};
        block.index = BlockCount;
        block.bits = TelegramBits;
        block.firstUndecided = u;
        const int first = BlockCount == 1 ? 8 : 0;
        if (BlockCount == 1) block.number = FmsBitField(1, 6) * 2;
        for (int offset = first; offset <= 24; offset += 8)
            block.characters += static_cast<char>(FmsBitField(static_cast<std::uint8_t>(offset),
                                                              static_cast<std::uint8_t>(offset + 6)) & 127u);
        ctx_.events.OnEvent(block);
    }
    if (BlockCount < 2) BlockCount = BlockCount + 1;
}

void FmsDecoder::FinishInput() {
    if (FmsState == fsTelegram && BlockCount > 1) ctx_.events.OnEvent(FmsTextEnd{ctx_.Origin(), false});
    FmsState = fsSearchPreamble;
    BlockCount = 0;
}

}  // namespace quorvel
