// POCSAG test-signal generator: pager calls as codewords, and the codewords as
// the audio a scanner receiver delivers.
//
// Codewords (32 bits, bit 31 sent first). Bits 31..11 are 21 information bits,
// bits 10..1 the BCH(31,21) check bits (generator x^10+x^9+x^8+x^6+x^5+x^3+1,
// 0x769), bit 0 makes the number of ones in the whole codeword even.
//   address codeword: bit 31 = 0, bits 30..13 = address >> 3, bits 12..11 = function
//   message codeword: bit 31 = 1, bits 30..11 = 20 message bits
// A transmission is a preamble of alternating bits (1, 0, 1, 0, ...) followed by
// batches: the synchronisation codeword and eight frames of two codewords. The
// three low address bits are not sent; they select the frame (address & 7) in
// which the address codeword has to stand. Message codewords follow their
// address at once and run on across frames and batches; unused codewords are
// idle codewords.
//
// Message contents:
//   numeric: 4-bit codes, five per codeword, the first one in bits 30..27; within
//     a code the first bit sent is its least significant bit. Codes 0..9 are the
//     digits, 11 "U", 12 space, 13 "-", 14 "]", 15 "[". The last codeword is
//     filled up with spaces.
//   alphanumeric: 7-bit characters packed one after another from bit 30 down,
//     running on across codeword boundaries, first bit sent = least significant
//     bit. The character set is 7-bit ASCII with the German letters in place of
//     brackets: Ä=91 Ö=92 Ü=93 ä=123 ö=124 ü=125 ß=126 (so "[" and "Ä" are the
//     same code, and so on). The unused bits of the last codeword are 0: a
//     decoder shows every complete group of seven of them as a NUL character.
//   tone only: the address codeword alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/pocsag_words.h"

namespace quorvel::gen {

inline constexpr std::uint32_t kPocsagSyncCodeword = SyncCodeword;
inline constexpr std::uint32_t kPocsagIdleCodeword = IdleCodeword;
inline constexpr std::uint32_t kPocsagMaxAddress = 0x1FFFFFu;  // 21 bits

struct PocsagMessage {
    enum class Kind { Numeric, Alphanumeric, ToneOnly };
    std::uint32_t address = 0;  // receiver address (RIC), 0..kPocsagMaxAddress
    int function = 0;           // 0..3
    Kind kind = Kind::ToneOnly;
    // UTF-8. Numeric: "0123456789 U-][". Alphanumeric: code points 0..127 (control
    // characters included) and Ä Ö Ü ä ö ü ß. Ignored for tone-only calls.
    std::string text;
};

// 21 information bits (bit 20 = the first one sent) -> the whole codeword with
// check bits and even parity.
std::uint32_t PocsagEncodeBch(std::uint32_t data21);

// Remainder (10 bits) of bits 31..1 of the codeword divided by the generator;
// 0 for a valid codeword. The parity bit is not looked at.
std::uint32_t PocsagCheckRemainder(std::uint32_t codeword);

// True when the number of ones in the codeword is even.
bool PocsagParityEven(std::uint32_t codeword);

// Empty when the message can be sent, else what is wrong with it.
std::string PocsagCheckMessage(const PocsagMessage& message);

// The address codeword and then the message codewords of one call. Throws
// std::invalid_argument for a message PocsagCheckMessage rejects.
std::vector<std::uint32_t> PocsagMessageCodewords(const PocsagMessage& message);

// One transmission's batches, without the preamble: each batch is the
// synchronisation codeword and 16 codewords. Calls follow each other in the
// given order, each address in its frame (waiting for the next batch when the
// frame has passed). After the last call at least two idle codewords follow, so
// a decoder sees the message end even if the very last bits are lost; the rest
// of that batch is idle. No calls: one batch of idle codewords. Throws std::invalid_argument like
// PocsagMessageCodewords.
std::vector<std::uint32_t> PocsagCodewords(const std::vector<PocsagMessage>& messages);

// Bit errors for a transmission's codewords: the codeword at `codeword` (0 the
// first sync codeword of the transmission, counting every codeword after the
// preamble) has the bits of `bits` inverted (bit 31 is the first one sent).
// kPocsagEveryCodeword: every codeword but the sync codewords.
inline constexpr std::size_t kPocsagEveryCodeword = static_cast<std::size_t>(-1);
struct PocsagFlip {
    std::size_t codeword = 0;
    std::uint32_t bits = 0;
};

// Applies the flips in order. Throws std::invalid_argument for a codeword
// beyond the transmission's last.
void PocsagFlipBits(std::vector<std::uint32_t>& codewords, const std::vector<PocsagFlip>& flips);

struct PocsagSignal {
    enum class Output {
        // Receiver discriminator tap: NRZ, bit 1 = positive, edges rounded by a
        // Gaussian low-pass, AC coupled by a gentle high-pass.
        Discriminator,
        // Receiver loudspeaker/line audio: the discriminator signal after
        // de-emphasis and the 300..3000 Hz audio band-pass: every edge becomes
        // a peak that droops back, long runs sag to zero.
        LineOutput,
    };
    double bitRate = 1200.0;   // bit/s, any value 400..2800
    bool inverted = false;     // every bit sent inverted (the other sideband)
    int preambleBits = 576;    // alternating bits before the first batch
    Output output = Output::Discriminator;
    double level = 10000.0;    // peak absolute value of the waveform
    int sampleRate = 11025;    // samples per second of the waveform
};

// The bits of one transmission in the order sent: the preamble, then every
// codeword from bit 31 down (not inverted: polarity belongs to the waveform).
std::vector<std::uint8_t> PocsagTransmissionBits(int preambleBits, const std::vector<std::uint32_t>& codewords);

// One transmission as audio, clean and zero-mean, exactly
// llround(bits * sampleRate / bitRate) samples long, bit k occupying the time
// k / bitRate .. (k + 1) / bitRate without rounding edges to whole samples.
// Scaled so that the largest absolute sample equals level. Throws
// std::invalid_argument for a bit rate outside 400..2800, a sample rate below
// 8000 or a negative preamble.
std::vector<double> PocsagWaveform(const PocsagSignal& signal, const std::vector<std::uint32_t>& codewords);

}  // namespace quorvel::gen
