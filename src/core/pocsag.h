// The POCSAG pager decoder.
//
// The signal: POCSAG is two-level NRZ data at 512, 1200 or 2400 bit/s (any rate
// from about 441 to 2756 bit/s is measured, none is assumed), heard through a
// receiver's discriminator output or its filtered line output, in either
// polarity. A transmission is a preamble of alternating bits, then batches: one
// synchronisation codeword (0x7CD215D8) and sixteen codewords, two per frame
// 0..7. A codeword is 32 bits, first bit = bit 31: bit 31 = 0 for an address
// (18 address bits 30..13, function bits 12..11), 1 for a message (20 bits
// 30..11); bits 10..1 are BCH(31,21) check bits, bit 0 even parity. Idle fill is
// 0x7A89C197. An address belongs to the frame it is sent in: RIC = address bits
// x 8 + frame.
//
// Stages, run once per block of 1024 samples by PocsagProcessBlock:
//   front end (pocsag_frontend.cpp): dither, normalise, six-tap filter of the
//     chosen characteristic, run lengths between half-wave peaks into IntervalRing;
//   bit rate (pocsag_bitrate.cpp): coarse period, acquisition, loss, soft bits
//     into BitRing;
//   framing (pocsag_framing.cpp): sync search in both polarities at every bit
//     offset, batches of codewords with their BCH remainder;
//   messages and status (pocsag_messages.cpp): addresses, numeric and 7-bit
//     text, tone-only calls, status and activity lines, end-of-transmission
//     summary.
// Out: call events (begin, end) and the end-of-transmission event on ctx.events,
// the two status lines.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "processing.h"
#include "registry.h"

namespace quorvel {

struct KindDescription;
// POCSAG calls as the rest of the program sees them (pocsag_kind.cpp).
extern const KindDescription PocsagKind;

constexpr double BreakMark = 1000.0;
constexpr double EdgeThreshold = 0.3;
constexpr std::uint32_t SyncCodeword = 0x7CD215D8u;
constexpr std::uint32_t IdleCodeword = 0x7A89C197u;

enum PocsagStates : std::int32_t { psSearchRate = 0, psFirstSync = 1, psNextSync = 2, psBatch = 3 };

// The 10-bit BCH(31,21) remainder of a codeword (parity bit ignored); 0 = valid.
std::uint32_t PocsagSyndrome(std::uint32_t cw);

// Entries from start up to, not including, end in a ring of 1024.
constexpr std::int32_t PocsagRingDistance(std::int32_t start, std::int32_t end) {
    return RingDistance(start, end, 1024);
}

// The texts of the 7-bit character codes (Windows-1252) and of the 4-bit digits.
extern const std::array<const char*, 128> AlphaCharTable;
extern const char NumericCharTable[17];

// A call's message codewords as both POCSAG decoders render them: digits
// (4 bits each, five per codeword) and 7-bit characters (offset mode for
// addresses 4000..4999: codes lowered by one, the first codeword's characters in
// hex).
void PocsagNumericText(const std::uint32_t* words, std::int32_t count, std::string& digits);
void PocsagAlphaText(const std::uint32_t* words, std::int32_t count, bool offsetMode, std::string& text);

class PocsagDecoder final : public BlockDecoder {
public:
    explicit PocsagDecoder(SharedContext& ctx) : ctx_(ctx) {}
    PocsagDecoder(const PocsagDecoder&) = delete;
    PocsagDecoder& operator=(const PocsagDecoder&) = delete;

    // The per-block entry (capture thread).
    void PocsagProcessBlock();
    void ProcessBlock() override { PocsagProcessBlock(); }
    bool Busy() const override { return PocsagState != psSearchRate || MessageState != 0; }
    // A transmission still open ends as if its signal was lost.
    void FinishInput() override;

    // User-interface thread, after it has stored ctx.settings.PocsagCharacteristic:
    // index 0 or 1 selects that coefficient set, any other value keeps the
    // current one. The capture thread loads the whole set at the start of its
    // next block, so no block is filtered with a mix of two sets.
    void PocsagSetCharacteristic();

    // ----- stages, public so that each can be driven and checked alone -----
    void PocsagFrontEnd();
    void PocsagLoadCoefficients();
    void PocsagDitherBlock();
    void PocsagNormaliseBlock();
    void PocsagFilterBlock();
    void PocsagFindEdges();
    void PocsagTrackBitRate();
    void PocsagTrackEntry(double entry);
    void PocsagFindRunStart();
    void PocsagMarkRunEnd(std::int32_t start);
    void PocsagAccumulateRun(std::int32_t first, std::int32_t end);
    void PocsagSliceBits();
    void PocsagSearchSync();
    void PocsagCollectCodewords();
    void PocsagFindAddress();
    void PocsagCollectMessage();
    // The collected message words as digits into `digits`, as 7-bit characters
    // into `text` (mode 1: the offset mode of addresses 4000..4999).
    void PocsagDecodeNumeric(std::string& digits);
    void PocsagDecodeAlpha(int mode, std::string& text);
    void PocsagBuildStatusLine();
    void PocsagBuildActivityLine();
    void PocsagEndTransmission();
    std::int32_t PocsagBitsAvailable() const { return PocsagRingDistance(BitRead, BitWrite); }

    // PeriodHistory element k (0 oldest, 199 newest).
    double PeriodHistoryAt(std::int32_t k) const { return PeriodHistory[static_cast<std::size_t>((HistoryStart + k) % 200)]; }

    // ----- front end -----
    std::array<double, 1024> PocsagWork{};
    double InputPeak = 0.0;
    std::array<double, 6> FilterCoefficients{};
    std::array<double, 6> FilterHistory{};
    double FilterPeak = 0.0;
    std::int32_t EdgePolarity = 0;
    double PeakValue = 0.0;
    std::int32_t PeakIndex = 0;
    std::int32_t PrevPeakIndex = 0;
    std::int32_t SinceEdge = 0;
    std::array<double, 1024> IntervalRing{};
    std::int32_t IntervalWrite = 0;
    // Where each run of IntervalRing ends in the input, and each bit of BitRing
    // (sample index): only for telling where a codeword was.
    std::array<double, 1024> IntervalEndSample{};
    std::array<double, 1024> BitEndSample{};

    // ----- bit rate and bits -----
    double CoarsePeriod = 0.0;
    std::array<double, 5> MultipleWeights{};
    std::array<double, 200> PeriodHistory{};  // a ring: element 0 at HistoryStart
    std::int32_t HistoryStart = 0;
    // Recent share of runs that fit no whole number of coarse periods, 0..100.
    double MisfitWeight = 0.0;
    double BitPeriod = 0.0;
    double RunSamples = 0.0;
    std::int32_t RunBits = 0;
    double AveragePeriod = 0.0;
    std::int32_t AverageBitRate = 0;
    std::int32_t TrackRead = 0;
    std::int32_t RunStart = 0;
    std::int32_t SliceRead = 0;
    double TransmissionBitRate = 0.0;
    std::int32_t TransmissionBits = 0;
    DateTime StartTime{};
    bool SignalLost = false;
    std::int32_t PocsagState = psSearchRate;
    std::array<double, 1024> BitRing{};
    std::int32_t BitWrite = 0;

    // ----- framing -----
    std::int32_t BitRead = 0;
    std::uint32_t ShiftWord = 0;
    std::array<std::uint8_t, 32> WeakFlags{};
    std::int32_t WeakIndex = 0;
    bool Inverted = false;
    std::int32_t BitInWord = 0;
    std::array<std::uint32_t, 17> Batch{};
    std::int32_t BatchCount = 0;
    std::int32_t BatchRead = 0;
    bool BatchReady = false;
    std::int32_t FailCount = 0;
    std::int32_t CrcErrorCount = 0;

    // ----- messages -----
    std::int32_t MessageState = 0;
    std::array<std::uint32_t, 64> MessageWords{};
    std::int32_t MessageWordCount = 0;
    std::uint32_t CurrentAddress = 0;
    std::int32_t CurrentFunction = 0;
    std::int32_t CharBits = 0;
    std::int32_t CharBitCount = 0;
    std::int32_t SyncCount = 0;
    std::int32_t IdleCount = 0;
    // Bad codewords since the last call ended or the transmission began.
    std::int32_t CallCrcErrors = 0;
    DateTime CallBeginTime{};
    // Where the last bit of the batch lies in the input (sample index): from it
    // the events tell where their codewords were.
    double BatchEndSample = 0.0;
    // The input sample at which codeword `index` of the batch ends.
    std::int64_t CodewordEndSample(std::int32_t index) const;

private:
    // The call under way ends: complete at an address or idle codeword, or not
    // when the transmission ends first.
    void EmitCallEnd(bool complete, std::int64_t sample);
    // The bit rate of the transmission so far.
    double MeasuredBitRate() const;

    SharedContext& ctx_;
    // The characteristic chosen by the last PocsagSetCharacteristic (0 as the
    // window selects at start-up).
    std::atomic<std::int32_t> coefficientSet_{0};
};

}  // namespace quorvel
