// The FMS status-telegram decoder.
//
// The signal: FMS telegrams of the German emergency services are 1200 bit/s
// frequency-shift keying, a "1" bit one full cycle of 1200 Hz, a "0" bit one and
// a half cycles of 1800 Hz. A transmission is a run of "1" bits (the preamble),
// the sync word 0x1A sent from its most significant bit (0 0 0 1 1 0 1 0), then
// blocks of 48 bits. Bits are numbered 0..47 in order of reception; a field of
// bits a..b is a number whose least significant bit is bit a.
//
//   first block after the sync (status telegram):
//     0-3 organisation  4-7 Land  8-15 location (two digits)  16-31 vehicle
//     (four digits)  32-35 status  36 build stage  37 direction  38-39 tactical
//     information  40-47 check part (7 check bits and a final bit)
//   follow-on blocks (text): 7-bit characters at bits 0, 8, 16, 24; the first
//     follow-on block carries a number in bits 1-6 instead of the character at 0.
//
// Stages, run once per block of 1024 samples by FmsProcessBlock (fms.cpp):
//   conditioning: DC offset removed, dither added, into FmsBlock;
//   frequency estimator: one estimate per half-cycle, from the distance between
//     successive interpolated zero crossings, into FreqRing;
//   detector: preamble search (11 pair means between 1100 and 1300 Hz), a wait
//     for more than 200 estimates, the sync word by least squares over 26
//     offsets, then 48-bit blocks cut into TelegramBits;
//   telegrams (fms_text.cpp): each block emitted as a status telegram or a
//     follow-on text block.
// In: SampleBlock, DcOffset, NextRandom. Out: FmsTelegram, FmsTextBlock and
// FmsTextEnd events, "FMS" in ActivityLine.
//
// A transmission ends when a block has an undecided bit among its first 40, or
// at a break: a stretch without any zero crossing much longer than a half-cycle
// of the signal (a closed squelch), after which no block can follow its
// telegram directly.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "processing.h"
#include "registry.h"

namespace quorvel {

struct KindDescription;
// FMS calls as the rest of the program sees them (fms_kind.cpp).
extern const KindDescription FmsKind;

// The field tables of the text (Windows-1252).
extern const std::array<const char*, 16> FmsOrganisationNames;
extern const std::array<const char*, 16> FmsLandNames;
extern const char FmsHexDigits[17];
extern const std::array<const char*, 2> FmsDirectionNames;
extern const std::array<const char*, 4> FmsTacticalInfoNames;

// Appends the text of one field of a telegram's bits. Codes: 1 organisation,
// 2 Land, 3 location, 4 vehicle, 5 status, 6 build stage, 7 direction, 8 tactical
// information, 12 the doubled number of bits 1-6 and a tab, 14 one 7-bit
// character at `offset`; any other code is empty.
void FmsFieldText(const std::array<std::uint8_t, 48>& bits, std::uint8_t offset, std::int32_t code,
                  std::string& out);

// The 8-digit identity of a telegram: organisation, Land, location and vehicle
// digits (hex digits as the status line shows them).
std::string FmsIdentity(const FmsTelegram& telegram);

enum FmsStates : std::int32_t { fsSearchPreamble = 0, fsPreambleFound = 1, fsSearchSync = 2, fsTelegram = 3 };

// The check of a telegram: bits 40..46 must be the remainder of data bits 0..39
// (bit 0 the highest power) times x^7 modulo x^7 + x^6 + x^2 + 1, sent highest
// power first. Undecided while any of bits 0..46 is undecided (2).
FmsCheck FmsCheckOf(const std::array<std::uint8_t, 48>& bits);
// The 7 check bits of 40 data bits, bit 6 of the result sent first.
std::uint32_t FmsCheckRemainder(const std::array<std::uint8_t, 48>& bits);

class FmsDecoder final : public BlockDecoder {
public:
    static constexpr std::int32_t RingSize = 1024;
    // Estimates a sync search reads from FreqRead on: 26 offsets of 21 entries.
    static constexpr std::int32_t SyncWindow = 46;
    // A stretch without a zero crossing longer than this many bit periods is a
    // break in the transmission.
    static constexpr double BreakBitPeriods = 2.0;

    explicit FmsDecoder(SharedContext& ctx) : ctx_(ctx) {}
    FmsDecoder(const FmsDecoder&) = delete;
    FmsDecoder& operator=(const FmsDecoder&) = delete;

    // The per-block entry (capture thread).
    void FmsProcessBlock();
    void ProcessBlock() override { FmsProcessBlock(); }
    bool Busy() const override { return FmsState != fsSearchPreamble; }
    // A follow-on text still open ends, marked incomplete.
    void FinishInput() override;

    // ----- stages, public so that each can be driven and checked alone -----
    void FmsConditionBlock();
    void FmsTrackFrequency();
    std::int32_t FmsRingDistance() const { return RingDistance(FreqRead, FreqWrite, RingSize); }
    void FmsSearchPreamble();
    void FmsSearchSync();
    // Cuts 48 bits from FreqRead on. Only the first `limit` unread estimates
    // belong to the transmission: a bit that would need one beyond them is
    // undecided and consumes nothing.
    void FmsSliceTelegram(std::int32_t limit = RingSize);
    void FmsWriteTelegram();
    std::uint16_t FmsBitField(std::uint8_t start, std::uint8_t end) const;
    // The input sample at which the next unread estimate begins.
    std::int64_t ReadPositionSample() const;
    // Unread estimates before the first break, or -1 when no break lies ahead.
    std::int32_t FmsBreakDistance() const;

    // Breaks end a transmission (on by default). Switched off, the decoder
    // waits in a telegram through any silence; kept for comparison tests.
    void SetGapBreak(bool on) { gapBreak_ = on; }

    // ----- state -----
    std::array<double, 1024> FmsBlock{};
    std::array<double, RingSize> FreqRing{};
    std::int32_t FreqWrite = 0;
    std::int32_t FreqRead = 0;
    double PrevSample = 0.0;
    double SinceCrossing = 0.0;
    std::int32_t FmsState = fsSearchPreamble;
    std::array<std::uint8_t, 48> TelegramBits{};
    std::int32_t BlockCount = 0;
    // BreakBefore[j]: a break lies between the estimate before slot j and the
    // one in it. BreakAtWrite: a break lies after the last estimate written.
    std::array<std::uint8_t, RingSize> BreakBefore{};
    bool BreakAtWrite = false;

private:
    SharedContext& ctx_;
    bool gapBreak_ = true;
};

}  // namespace quorvel
