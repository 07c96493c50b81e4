// The sensitive POCSAG decoder: per-block loop, transmission and batch framing,
// codeword correction and the calls. The signal, the stages and what comes out
// are described in sensitive_pocsag.h and pocsag_stages.h.
//
// In: ctx.SampleBlock (1024 samples, 16-bit values) and the characteristic
// switch. Out: call and transmission events on ctx.events, the status and
// activity lines.
#include "sensitive_pocsag.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>

#include "core/pocsag.h"

namespace quorvel {

namespace {

using sensitive::SoftBit;

// The bands of bit periods (samples) the preamble channels cover, 430..2800 bit/s.
constexpr std::array<std::array<double, 2>, SensitivePocsagDecoder::ChannelCount> kBands = {{
    {3.9, 6.3},
    {6.1, 9.9},
    {9.6, 15.6},
    {15.1, 25.7},
}};

// Bits after the preamble's alternation stops within which the sync must come.
constexpr std::int32_t kAcquireBits = 64;
// Soft bits: a codeword whose mean |value| is below this carries no signal.
constexpr double kSilent = 0.35;
// A codeword shows signal when its mean |value| is at least kPresent and the
// values are as steady as a two-level signal's (mean |v| squared over mean v
// squared: 1 for a clean signal, about 0.82 at the weakest we decode, 2/pi for
// noise).
constexpr double kPresent = 0.5;
constexpr double kSteady = 0.72;
// Line output: a long run of equal bits and silence look alike (both leave
// the audio path at rest), so signal shows in the transitions instead. Mean
// expected square (SoftBit::expected) of a codeword's bits: at least
// kLineRich for signal, below kLineRun it is one long run (silence); and the
// fit must make up at least kLineFit of the expected.
constexpr double kLineRich = 0.4;
constexpr double kLineRun = 0.2;
constexpr double kLineFit = 0.5;
// Wrong bits a sync may have at its expected place, and one or two bits off it.
constexpr int kSyncInPlace = 3;
constexpr int kSyncNearby = 2;
// A new preamble measure this far (relative) from the clock's period relocks.
constexpr double kRelockDifference = 0.006;
// Sum of |soft value| of the bits a correction changes above which it is suspect.
constexpr double kFirmCost = 1.2;
// Changes an address codeword may need.
constexpr int kAddressFlips = 3;

bool IsMessage(std::uint32_t cw) { return (cw >> 31) != 0; }

}  // namespace

SensitivePocsagDecoder::SensitivePocsagDecoder(SharedContext& ctx) : ctx_(ctx) {
    for (int c = 0; c < ChannelCount; ++c)
        channels_[static_cast<std::size_t>(c)].Configure(kBands[static_cast<std::size_t>(c)][0],
                                                         kBands[static_cast<std::size_t>(c)][1]);
}

EventOrigin SensitivePocsagDecoder::OriginAt(double time) const {
    return {static_cast<std::int64_t>(std::floor(time)), ctx_.clock.LocalNow()};
}

void SensitivePocsagDecoder::Reset() {
    state_ = State::Searching;
    for (auto& c : channels_) c.Reset();
    callOpen_ = false;
    wordCount_ = 0;
}

void SensitivePocsagDecoder::ProcessBlock() {
    const std::int32_t characteristic = ctx_.settings.PocsagCharacteristic.load();
    const std::int64_t base = ctx_.BlockStart;
    if (base != expectedBlockStart_ || (characteristic != characteristic_ && (characteristic == 0 || characteristic == 1))) {
        // Another input, or another characteristic: start afresh.
        if (state_ == State::Synchronised) EndTransmission();
        Reset();
        if (characteristic == 0 || characteristic == 1) characteristic_ = characteristic;
        front_.Configure(characteristic_ == 1 ? sensitive::Characteristic::LineOutput
                                              : sensitive::Characteristic::Discriminator);
    }
    expectedBlockStart_ = base + FramesPerBlock;

    double level = 0.0;
    for (std::int32_t i = 0; i < FramesPerBlock; ++i) {
        const double raw = ctx_.SampleBlock[static_cast<std::size_t>(i)];
        level = std::max(level, std::fabs(raw));
        const double x = front_.Step(raw);
        const std::int64_t index = base + i;
        ring_.Put(index, x);
        if (state_ == State::Synchronised) continue;
        for (auto& c : channels_)
            if (c.Step(x, index)) OnPreamble(c, index);
    }
    SoftBit bit;
    while (state_ != State::Searching && clock_.Next(ring_, base + FramesPerBlock, bit)) OnBit(bit);
    StatusLines(level);
}

void SensitivePocsagDecoder::OnPreamble(const sensitive::PreambleChannel& channel, std::int64_t index) {
    // A lock that is on its preamble keeps it unless the new measure of the
    // bit period disagrees with its clock (a lock taken on noise just before).
    if (state_ == State::Acquiring && sinceAlternating_ == 0 &&
        std::fabs(channel.Period() - clock_.Period()) < kRelockDifference * clock_.Period())
        return;
    clock_.SetLineModel(characteristic_ == 1);
    clock_.Lock(ring_, index, channel.Period());
    state_ = State::Acquiring;
    lockedAt_ = bitCount_;
    sinceAlternating_ = 0;
    shift_ = 0;
}

void SensitivePocsagDecoder::OnBit(const SoftBit& bit) {
    const auto slot = static_cast<std::size_t>(bitCount_ & 1023);
    soft_[slot] = bit.value;
    bitTime_[slot] = bit.time;
    expected_[slot] = bit.expected;
    fit_[slot] = bit.fit;
    shift_ = (shift_ << 1) | (bit.value > 0.0 ? 1u : 0u);
    ++bitCount_;
    if (state_ == State::Acquiring) {
        if (((shift_ ^ (shift_ >> 1)) & 0xFFFFu) == 0xFFFFu) {
            sinceAlternating_ = 0;
        } else if (++sinceAlternating_ > kAcquireBits) {
            Reset();
            return;
        }
        if (bitCount_ - lockedAt_ >= 32) {
            const sensitive::SyncMatch m = sensitive::SyncErrors(shift_);
            if (m.errors <= kSyncNearby) BeginTransmission(m.inverted);
        }
        return;
    }
    if (missedSyncs_ > 0 && wordInBatch_ < 16) {
        // A batch without its sync: the sync may turn up a few bits away.
        const std::uint32_t w = inverted_ ? ~shift_ : shift_;
        if (std::popcount(w ^ sensitive::Sync) <= kSyncNearby) {
            ++syncs_;
            missedSyncs_ = 0;
            nextWord_ = bitCount_;
            wordInBatch_ = 0;
        }
    }
    RunBatch();
}

void SensitivePocsagDecoder::BeginTransmission(bool inverted) {
    state_ = State::Synchronised;
    inverted_ = inverted;
    nextWord_ = bitCount_;
    wordInBatch_ = 0;
    missedSyncs_ = 0;
    doubtfulRun_ = 0;
    badHistory_ = 0;
    wordsDecoded_ = 0;
    transmissionBegin_ = ctx_.clock.LocalNow();
    idles_ = 0;
    syncs_ = 1;
    bits_ = 32;
    fails_ = 0;
    uncorrectable_ = 0;
    corrected_ = 0;
    callUncorrectable_ = 0;
    callCorrected_ = 0;
    callMostFlipped_ = 0;
    callOpen_ = false;
    clock_.SetTracking(true);
}

std::uint32_t SensitivePocsagDecoder::WordAt(std::int64_t start, std::array<double, 32>* soft) const {
    std::uint32_t w = 0;
    for (int i = 0; i < 32; ++i) {
        double v = soft_[static_cast<std::size_t>((start + i) & 1023)];
        if (inverted_) v = -v;
        w = (w << 1) | (v > 0.0 ? 1u : 0u);
        if (soft != nullptr) (*soft)[static_cast<std::size_t>(i)] = v;
    }
    return w;
}

void SensitivePocsagDecoder::RunBatch() {
    while (state_ == State::Synchronised) {
        if (wordInBatch_ < 16) {
            if (bitCount_ < nextWord_ + 32) return;
            DecodeCodeword(nextWord_);
            nextWord_ += 32;
            ++wordInBatch_;
        } else {
            if (bitCount_ < nextWord_ + 32 + 2) return;
            CheckSync();
        }
    }
}

void SensitivePocsagDecoder::CheckSync() {
    int bestErrors = 33;
    int bestOffset = 0;
    for (int offset : {0, -1, 1, -2, 2}) {
        const int errors = std::popcount(WordAt(nextWord_ + offset) ^ sensitive::Sync);
        if (errors > (offset == 0 ? kSyncInPlace : kSyncNearby)) continue;
        if (errors < bestErrors) {
            bestErrors = errors;
            bestOffset = offset;
        }
    }
    if (bestErrors <= kSyncInPlace) {
        ++syncs_;
        bits_ += 32;
        missedSyncs_ = 0;
        nextWord_ += bestOffset + 32;
        wordInBatch_ = 0;
        return;
    }
    std::array<double, 32> soft{};
    WordAt(nextWord_, &soft);
    double sum = 0.0;
    for (double v : soft) sum += std::fabs(v);
    const bool run = characteristic_ == 1 && LineExpected(nextWord_, nullptr) < kLineRun;
    if (missedSyncs_ > 0 || sum / 32.0 < kPresent || run) {
        EndTransmission();
        return;
    }
    ++missedSyncs_;
    nextWord_ += 32;
    wordInBatch_ = 0;
}

double SensitivePocsagDecoder::LineExpected(std::int64_t start, double* fit) const {
    double expected = 0.0;
    double found = 0.0;
    for (std::int64_t i = start; i < start + 32; ++i) {
        expected += expected_[static_cast<std::size_t>(i & 1023)];
        found += fit_[static_cast<std::size_t>(i & 1023)];
    }
    if (fit != nullptr) *fit = found / 32.0;
    return expected / 32.0;
}

void SensitivePocsagDecoder::DecodeCodeword(std::int64_t start) {
    std::array<double, 32> soft{};
    const std::uint32_t received = WordAt(start, &soft);
    const double time = bitTime_[static_cast<std::size_t>((start + 31) & 1023)];
    double absSum = 0.0;
    double squareSum = 0.0;
    int weak = 0;
    for (double v : soft) {
        absSum += std::fabs(v);
        squareSum += v * v;
        if (std::fabs(v) < 0.5) ++weak;
    }
    const double meanAbs = absSum / 32.0;
    bool present = meanAbs >= kPresent && meanAbs * meanAbs >= kSteady * (squareSum / 32.0);
    bool silent = meanAbs < kSilent;
    if (characteristic_ == 1) {
        double fit = 0.0;
        const double expected = LineExpected(start, &fit);
        present = meanAbs >= kPresent && expected >= kLineRich && fit >= kLineFit * expected;
        silent = silent || expected < kLineRun;
    }
    if (!present) {
        if (silent || ++doubtfulRun_ >= 2) {
            EndTransmission();
            return;
        }
    } else {
        doubtfulRun_ = 0;
    }
    bits_ += 32;
    fails_ += weak;
    // Strict while the signal is doubtful or the batch lacks its sync.
    const bool strict = !present || missedSyncs_ > 0;
    sensitive::Correction c = strict ? bch_.Hard(received) : bch_.Soft(received, soft);
    if (c.ok && strict && c.flipped > 1) c.ok = false;
    const std::int32_t frame = wordInBatch_ / 2;
    // Uncorrectable words among the three before this one; three of four lost:
    // the transmission has turned to garbage.
    // A correction that changes firm bits is as suspect as none: it is what a
    // slipped bit clock gives on a clean signal.
    const bool suspect = !c.ok || c.cost > kFirmCost;
    const int recentBad = std::popcount(badHistory_ & 7u);
    badHistory_ = (badHistory_ << 1) | (suspect ? 1u : 0u);
    const bool first = wordsDecoded_++ == 0;
    if (suspect && recentBad >= 2) {
        if (missedSyncs_ > 0) {
            if (!c.ok) ++uncorrectable_;
            EndTransmission();
            return;
        }
        // Out of step: decode strictly and look for the sync anywhere.
        missedSyncs_ = 1;
    }
    if (!c.ok) {
        ++uncorrectable_;
        ++callUncorrectable_;
        // Kept as received: a message word goes on, anything else ends the message.
        if (IsMessage(received)) {
            if (callOpen_) {
                words_[static_cast<std::size_t>(wordCount_)] = received;
                if (wordCount_ < MaxMessageWords - 1) ++wordCount_;
            }
        } else if (callOpen_) {
            EndCall(true, time);
        }
        return;
    }
    if (c.flipped > 0) {
        ++corrected_;
        ++callCorrected_;
    }
    const std::uint32_t cw = c.word;
    if (IsMessage(cw)) {
        if (callOpen_) {
            callMostFlipped_ = std::max(callMostFlipped_, c.flipped);
            words_[static_cast<std::size_t>(wordCount_)] = cw;
            if (wordCount_ < MaxMessageWords - 1) ++wordCount_;
        }
        return;
    }
    if (callOpen_) EndCall(true, time);
    if (cw == sensitive::Idle) {
        ++idles_;
    } else if (cw != sensitive::Sync && cw != 0 && AddressTrusted(c, recentBad, first)) {
        BeginCall(cw, frame, time);
        callMostFlipped_ = c.flipped;
    }
}

bool SensitivePocsagDecoder::AddressTrusted(const sensitive::Correction& c, int recentBad, bool first) const {
    // The line output tells a long run from silence only by its transitions,
    // and its bits are decided jointly, so errors come in bursts: there an
    // address must be nearly clean.
    if (c.cost > kFirmCost) return false;
    if (characteristic_ == 1) return c.flipped <= 1 && recentBad == 0;
    return c.flipped <= kAddressFlips && recentBad <= 1 && !(first && c.soft);
}

void SensitivePocsagDecoder::BeginCall(std::uint32_t cw, std::int32_t frame, double time) {
    callOpen_ = true;
    wordCount_ = 0;
    function_ = static_cast<std::int32_t>((cw >> 11) & 3u);
    ric_ = ((cw >> 13) & 0x3FFFFu) * 8u + static_cast<std::uint32_t>(frame);
    callBegin_ = ctx_.clock.LocalNow();
    PocsagCallBegin begin;
    begin.at = OriginAt(time);
    begin.at.time = callBegin_;
    begin.ric = ric_;
    begin.function = function_;
    begin.frame = frame;
    begin.bitRate = SampleRateOf(clock_.Period());
    begin.inverted = inverted_;
    ctx_.events.OnEvent(begin);
}

double SensitivePocsagDecoder::SampleRateOf(double period) const {
    return period > 0.0 ? ctx_.SampleRate / period : 0.0;
}

void SensitivePocsagDecoder::EndCall(bool complete, double time) {
    PocsagCallEnd end;
    end.at = OriginAt(time);
    end.beginTime = callBegin_;
    end.ric = ric_;
    end.function = function_;
    end.bitRate = SampleRateOf(clock_.Period());
    end.inverted = inverted_;
    end.codewords = wordCount_;
    end.errors = callUncorrectable_;
    end.corrected = callCorrected_;
    end.mostBitsCorrected = callMostFlipped_;
    end.complete = complete;
    if (wordCount_ > 0) {
        end.hasNumeric = wordCount_ < 5;
        if (end.hasNumeric) PocsagNumericText(words_.data(), wordCount_, end.numeric);
        end.offsetMode = ric_ >= 4000 && ric_ <= 4999;
        PocsagAlphaText(words_.data(), wordCount_, end.offsetMode, end.alpha);
    }
    ctx_.events.OnEvent(end);
    callOpen_ = false;
    wordCount_ = 0;
    callUncorrectable_ = 0;
    callCorrected_ = 0;
    callMostFlipped_ = 0;
}

void SensitivePocsagDecoder::EndTransmission() {
    const double time = clock_.BitEnd();
    if (callOpen_) EndCall(false, time);
    PocsagTransmissionEnd end;
    end.at = OriginAt(time);
    end.beginTime = transmissionBegin_;
    end.idles = idles_;
    end.syncs = syncs_;
    end.bits = bits_;
    end.bitRate = SampleRateOf(clock_.Period());
    end.fails = fails_;
    end.crcErrors = uncorrectable_;
    end.corrected = corrected_;
    end.inverted = inverted_;
    ctx_.events.OnEvent(end);
    Reset();
}

void SensitivePocsagDecoder::FinishInput() {
    if (state_ == State::Synchronised) EndTransmission();
    Reset();
}

void SensitivePocsagDecoder::StatusLines(double level) {
    char text[128];
    const bool locked = state_ != State::Searching;
    const int rate = locked ? RoundHalfEven(SampleRateOf(clock_.Period())) : 0;
    int n = 0;
    if (locked) {
        n = std::snprintf(text, sizeof text, "level\tfreq\tspeed\r\n%d\t%d\t%d", RoundHalfEven(level), rate / 2, rate);
    } else {
        n = std::snprintf(text, sizeof text, "level\tfreq\tspeed\r\n%d\tno tone\tnoise", RoundHalfEven(level));
    }
    ctx_.PocsagStatusLine.Set(std::string_view(text, static_cast<std::size_t>(std::max(n, 0))));
    if (state_ != State::Synchronised) return;
    n = std::snprintf(text, sizeof text, "POCSAG\r\nidles\tsyncs\tfails\tcount\r\n%d\t%d\t%d\t%d", idles_, syncs_, fails_,
                      bits_);
    ctx_.ActivityLine.Set(std::string_view(text, static_cast<std::size_t>(std::max(n, 0))));
}

}  // namespace quorvel
