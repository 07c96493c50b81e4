// What the decoders find, as plain values. A decoder emits one event at the moment
// it has found something (an address, a message end, a telegram, a tone sequence,
// the end of a transmission) into the context's event bus; renderers (text, logs,
// JSON) and the station turn events into output. No event carries text layout:
// texts inside events are the decoded characters (Windows-1252, control codes as
// their <NAME> tokens), nothing more.
//
// Every event type names the kind it belongs to (`Kind`), whose description
// (kind.h) knows how to write it and how it becomes a call record.
//
// Every event says where in the input it was found (the sample index at 11025 Hz,
// counted from the start of the input or of live capture) and the local time of
// day at which it was found.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common.h"

namespace quorvel {

struct EventOrigin {
    std::int64_t sample = 0;  // index of the input sample (11025 Hz) at which it was found
    DateTime time{};          // local time when it was found
};

// An address codeword: a POCSAG call begins.
struct PocsagCallBegin {
    static constexpr std::string_view Kind = "pocsag";
    EventOrigin at;
    std::uint32_t ric = 0;       // address bits x 8 + frame
    std::int32_t function = 0;   // 0..3
    std::int32_t frame = 0;      // 0..7
    double bitRate = 0.0;        // measured over the transmission so far
    bool inverted = false;       // received with the other polarity
};

// A POCSAG call is complete: its message ended at the next address or idle
// codeword, or (complete = false) the transmission or the input ended first.
struct PocsagCallEnd {
    static constexpr std::string_view Kind = "pocsag";
    EventOrigin at;
    DateTime beginTime{};  // when its address was found
    std::uint32_t ric = 0;
    std::int32_t function = 0;
    double bitRate = 0.0;
    bool inverted = false;
    std::int32_t codewords = 0;  // message codewords; 0 is a tone-only call
    // Bad codewords of this call (its address and message codewords); with
    // correction, those left uncorrected.
    std::int32_t errors = 0;
    // The message log's count: bad codewords framed since the previous call
    // ended (or the transmission began), whichever call they belong to.
    std::int32_t logErrors = 0;
    std::int32_t corrected = 0;  // codewords repaired by error correction
    // The most bits error correction changed in one codeword of this call (its
    // address and message words); 0 where nothing is corrected.
    std::int32_t mostBitsCorrected = 0;
    bool hasNumeric = false;     // rendered as digits too (fewer than five codewords)
    std::string numeric;         // the digits
    std::string alpha;           // the 7-bit characters (after the offset of `offsetMode`)
    bool offsetMode = false;     // an address 4000..4999: characters shifted by one, first codeword in hex
    bool complete = true;
    bool truncated = false;  // longer than the decoder keeps: the text stops early
};

// A POCSAG transmission ended (signal lost): the summary.
struct PocsagTransmissionEnd {
    static constexpr std::string_view Kind = "pocsag";
    EventOrigin at;
    DateTime beginTime{};
    std::int32_t idles = 0;
    std::int32_t syncs = 0;
    std::int32_t bits = 0;    // bits received
    double bitRate = 0.0;     // measured speed
    std::int32_t fails = 0;   // weak bits
    std::int32_t crcErrors = 0;
    std::int32_t corrected = 0;
    bool inverted = false;
};

// The check of an FMS telegram's 7 check bits.
enum class FmsCheck : std::uint8_t { Ok, Failed, Undecided };

// The number in bits a..b of an FMS block, bit a least significant (undecided
// bits as 0).
std::uint32_t FmsBitsValue(const std::array<std::uint8_t, 48>& bits, int a, int b);

// The first 48-bit block after an FMS sync word: a status telegram. Bits are in
// order of reception; each is 0, 1, or 2 when it could not be decided.
struct FmsTelegram {
    static constexpr std::string_view Kind = "fms";
    EventOrigin at;
    std::array<std::uint8_t, 48> bits{};
    std::int32_t firstUndecided = 48;  // 0..47, or 48 when every bit was decided
    FmsCheck check = FmsCheck::Undecided;
    bool corrected = false;  // one bit repaired by the check

    // The number in bits a..b, bit a least significant (undecided bits as 0).
    std::uint32_t Field(int a, int b) const;
    bool DataDecided() const { return firstUndecided >= 40; }
};

// A follow-on text block (index 1: the first, carrying a number in bits 1..6 and
// three characters; 2: any further one, four characters).
struct FmsTextBlock {
    static constexpr std::string_view Kind = "fms";
    EventOrigin at;
    std::int32_t index = 1;
    std::array<std::uint8_t, 48> bits{};
    std::int32_t firstUndecided = 48;  // at 40 or beyond: only check bits undecided
    std::int32_t number = 0;           // index 1: the doubled number of bits 1..6
    std::string characters;            // 3 or 4 characters of 7 bits
};

// The follow-on text of an FMS transmission ended.
struct FmsTextEnd {
    static constexpr std::string_view Kind = "fms";
    EventOrigin at;
    bool complete = true;  // false: the input ended with the text open
};

// Five tones of a selective call.
struct ToneSequence {
    static constexpr std::string_view Kind = "zvei";
    EventOrigin at;
    std::int32_t table = 0;  // 0 ZVEI normal, 1 ZVEI wide, 2 ZVEI narrow, 3 CCIR
    std::int32_t count = 5;
    std::array<double, 5> frequencies{};  // measured, Hz
    std::array<std::int32_t, 5> entries{};  // index into the table's entries, -1: no tone of the table
};

// DTMF keys (0-9, *, #, A-D) sent one after another, ended by a second without
// a key or by the end of the input.
struct DtmfSequence {
    static constexpr std::string_view Kind = "dtmf";
    EventOrigin at;
    std::string keys;
};

// A FLEX page, whole: every word of it corrected and its checks fitting; a
// message sent in fragments over several frames comes once, joined.
enum class FlexMode : std::uint8_t { M1600_2, M3200_2, M3200_4, M6400_4 };
enum class FlexPageType : std::uint8_t { Alpha, Numeric, Tone, Binary, Secure };
enum class FlexFragments : std::uint8_t { Whole, MoreFollow, Last };

struct FlexPage {
    static constexpr std::string_view Kind = "flex";
    EventOrigin at;
    std::uint64_t capcode = 0;
    bool longAddress = false;
    FlexPageType type = FlexPageType::Alpha;
    // Alpha and numeric: the characters (Windows-1252, control codes as their
    // <NAME> tokens); tone: empty; binary and secure: empty (see rawWords).
    std::string text;
    std::vector<std::uint32_t> rawWords;  // binary and secure: the message words' 21 information bits
    FlexMode mode = FlexMode::M1600_2;
    std::int32_t phase = 0;  // 0..3 = A..D
    std::int32_t cycle = 0;
    std::int32_t frame = 0;  // of the last fragment
    FlexFragments fragmentState = FlexFragments::Whole;
    std::int32_t fragments = 1;  // fragments joined
    std::int32_t corrected = 0;  // bits corrected in the page's words
    bool inverted = false;
};

using Event = std::variant<PocsagCallBegin, PocsagCallEnd, PocsagTransmissionEnd, FmsTelegram, FmsTextBlock,
                           FmsTextEnd, ToneSequence, DtmfSequence, FlexPage>;

// Whatever takes events: a renderer, a log, a test's recorder.
class EventSink {
public:
    virtual ~EventSink() = default;
    virtual void OnEvent(const Event& event) = 0;
};

// The decoders' one sink: hands every event to the subscribed sinks in the order
// they subscribed. Subscribe before the processing loop runs; emitting happens
// on the processing thread only.
class EventBus final : public EventSink {
public:
    static constexpr std::size_t Capacity = 8;
    // False when already full.
    bool Subscribe(EventSink& sink);
    void Unsubscribe(EventSink& sink);
    void OnEvent(const Event& event) override;

private:
    std::array<EventSink*, Capacity> sinks_{};
    std::size_t count_ = 0;
};

}  // namespace quorvel
