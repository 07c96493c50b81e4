// The sensitive POCSAG decoder: the same calls as the specified decoder, found
// several dB deeper in noise.
//
// The signal: two-level NRZ at any rate from about 441 to 2756 bit/s, either
// polarity, through a receiver's discriminator output or its filtered line
// output. A transmission is a preamble of alternating bits, then batches: the
// synchronisation codeword 0x7CD215D8 and sixteen 32-bit codewords, two per
// frame 0..7 (bit 31 = 0: an address, 18 address bits and 2 function bits; bit
// 31 = 1: 20 message bits; then ten BCH(31,21) check bits and even parity; idle
// fill 0x7A89C197). RIC = address bits x 8 + frame.
//
// How it listens (stages in pocsag_stages.h):
//   searching     every sample goes through the front end into the sample ring
//                 and through four preamble channels covering 430..2800 bit/s;
//   acquiring     a channel that saw a preamble locks the bit clock; its soft
//                 bits are compared with the sync codeword in both polarities
//                 (at most two wrong bits). The lock is dropped 64 bits after the
//                 alternating preamble stops without a sync;
//   synchronised  sixteen codewords, each corrected (two wrong bits, or the
//                 least reliable bits first), then the next sync looked for at
//                 its expected place and up to two bits either side; a batch
//                 whose sync is missing is decoded strictly (only words that
//                 are valid or one bit off); a second missing sync, a codeword
//                 with no signal in it (silence) or two doubtful codewords in a
//                 row end the transmission.
// Codewords are decoded only inside a synchronised transmission; an address
// needs a codeword that shows signal, is corrected by at most three changes (the
// first codeword of a transmission by the hard decision alone) and follows at
// most one uncorrectable word among the three before it. Three uncorrectable
// (or suspect: corrected by changing firm bits) words among four put the
// decoder out of step: strict decoding and a search for the sync anywhere; a
// second time, or a missing sync then, ends the transmission. On the line output an address must be
// valid or one bit off, after three good words.
// Out: PocsagCallBegin at an address codeword, PocsagCallEnd at the next
// address or idle codeword (or, incomplete, when the transmission ends), and
// PocsagTransmissionEnd with the summary when the signal is lost; the status
// and activity lines. Draws nothing from NextRandom; allocates only the texts of
// a call's end event.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "core/processing.h"
#include "core/registry.h"
#include "pocsag_stages.h"

namespace quorvel {

class SensitivePocsagDecoder final : public BlockDecoder {
public:
    explicit SensitivePocsagDecoder(SharedContext& ctx);
    SensitivePocsagDecoder(const SensitivePocsagDecoder&) = delete;
    SensitivePocsagDecoder& operator=(const SensitivePocsagDecoder&) = delete;

    void ProcessBlock() override;
    bool Busy() const override { return state_ != State::Searching; }
    void FinishInput() override;

    enum class State { Searching, Acquiring, Synchronised };
    State CurrentState() const { return state_; }
    const sensitive::BitClock& Clock() const { return clock_; }

    static constexpr int ChannelCount = 4;
    static constexpr int MaxMessageWords = 64;

private:
    void OnPreamble(const sensitive::PreambleChannel& channel, std::int64_t index);
    void OnBit(const sensitive::SoftBit& bit);
    void RunBatch();
    void CheckSync();
    void DecodeCodeword(std::int64_t start);
    // The codeword starting at bit `start` in the transmission's polarity.
    std::uint32_t WordAt(std::int64_t start, std::array<double, 32>* soft = nullptr) const;
    // Line output: the mean SoftBit::expected of the 32 bits from `start`,
    // and their mean fit.
    double LineExpected(std::int64_t start, double* fit) const;
    void BeginTransmission(bool inverted);
    void EndTransmission();
    bool AddressTrusted(const sensitive::Correction& c, int recentBad, bool first) const;
    void BeginCall(std::uint32_t cw, std::int32_t frame, double time);
    void EndCall(bool complete, double time);
    void Reset();
    void StatusLines(double level);
    EventOrigin OriginAt(double time) const;
    double SampleRateOf(double period) const;

    SharedContext& ctx_;
    sensitive::FrontEnd front_;
    sensitive::SampleRing ring_;
    std::array<sensitive::PreambleChannel, ChannelCount> channels_{};
    sensitive::BitClock clock_;
    sensitive::BchCorrector bch_;
    std::int32_t characteristic_ = 0;
    std::int64_t expectedBlockStart_ = 0;

    State state_ = State::Searching;
    // Soft bits by absolute bit number (ring of 1024) with the time each ended.
    std::array<double, 1024> soft_{};
    std::array<double, 1024> bitTime_{};
    std::array<double, 1024> expected_{};  // line output: SoftBit::expected and ::fit
    std::array<double, 1024> fit_{};
    std::int64_t bitCount_ = 0;
    std::uint32_t shift_ = 0;
    std::int64_t lockedAt_ = 0;
    std::int32_t sinceAlternating_ = 0;

    // The synchronised transmission.
    bool inverted_ = false;
    std::int64_t nextWord_ = 0;  // bit number where the next codeword (or sync) starts
    std::int32_t wordInBatch_ = 0;
    std::int32_t missedSyncs_ = 0;
    std::int32_t doubtfulRun_ = 0;
    std::uint32_t badHistory_ = 0;  // bit k: the codeword k before the last was uncorrectable
    std::int32_t wordsDecoded_ = 0;
    DateTime transmissionBegin_{};
    std::int32_t idles_ = 0, syncs_ = 0, bits_ = 0, fails_ = 0, uncorrectable_ = 0, corrected_ = 0;

    // The call under way.
    bool callOpen_ = false;
    std::uint32_t ric_ = 0;
    std::int32_t function_ = 0;
    DateTime callBegin_{};
    std::array<std::uint32_t, MaxMessageWords> words_{};
    std::int32_t wordCount_ = 0;
    std::int32_t callUncorrectable_ = 0;
    std::int32_t callCorrected_ = 0;
    std::int32_t callMostFlipped_ = 0;  // most bits changed in one of the call's codewords
};

}  // namespace quorvel
