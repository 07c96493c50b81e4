// FMS test signals: status telegrams and follow-on text blocks as a receiver's
// audio.
//
// The signal: continuous-phase FSK at 1200 bit/s, a "1" bit one full cycle of
// 1200 Hz and a "0" bit one and a half cycles of 1800 Hz; the phase runs on
// across bit boundaries, and bit edges fall at their exact (fractional) times.
// A transmission is a preamble of "1" bits, the sync word 0x1A sent from its
// most significant bit, the 48-bit status telegram, then any follow-on blocks.
//
// Status telegram bits, in order of sending (fields least significant bit
// first): 0-3 organisation, 4-7 Land, 8-11 and 12-15 the two location digits,
// 16-31 the four vehicle digits, 32-35 status, 36 build stage, 37 direction,
// 38-39 tactical information, 40-46 check bits, 47 final bit.
//
// Check part: a 7-bit cyclic code over the 40 data bits with the generator
// polynomial x^7 + x^6 + x^2 + 1. The data bits are taken in order of sending
// as the coefficients from x^46 down to x^7; the check bits are the remainder
// of that polynomial divided by the generator, sent from x^6 down to x^0, so
// that the 47 bits form a codeword divisible by the generator. The final bit
// is 0. This is what a transmitter sends and what the decoders check.
//
// Follow-on blocks: the first carries a number 0..63 in bits 1-6 and three
// 7-bit characters at bits 8, 16 and 24; every further block four characters
// at bits 0, 8, 16 and 24. The bits in between are 0; each block has its own
// check part computed the same way. Text is cut into such blocks, the last
// padded with blanks.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace quorvel::gen {

using FmsBlockBits = std::array<std::uint8_t, 48>;

struct FmsStatusTelegram {
    int organisation = 6;  // 0..15
    int land = 3;          // 0..15
    std::array<int, 2> location = {1, 2};       // digits 0..15
    std::array<int, 4> vehicle = {3, 4, 5, 6};  // digits 0..15
    int status = 2;       // 0..15
    int buildStage = 0;   // 0 or 1
    int direction = 0;    // 0 vehicle to control room, 1 the other way
    int tactical = 1;     // 0..3
};

// The 7 check bits of the 40 data bits of a block (in order of sending).
std::array<std::uint8_t, 7> FmsCheckBits(const FmsBlockBits& bits);
// Remainder of the 47-bit word (data and check bits) divided by the generator:
// 0 for a block whose check part fits its data.
std::uint32_t FmsSyndrome(const FmsBlockBits& bits);
// Fill bits 40-47 from bits 0-39.
void FmsFillCheckPart(FmsBlockBits& bits);

// The 48 bits of a status telegram, check part included. Values out of range
// are reduced to their field width.
FmsBlockBits FmsStatusBits(const FmsStatusTelegram& telegram);
// The follow-on blocks that carry `number` (0..63) and `text` (7-bit
// characters; bytes above 127 keep their low 7 bits). An empty text with
// number 0 still gives one block.
std::vector<FmsBlockBits> FmsTextBlocks(int number, const std::string& text);

struct FmsTransmission {
    int preambleBits = 12;  // "1" bits before the sync word
    FmsStatusTelegram telegram;
    bool withText = false;  // follow-on blocks after the telegram
    int textNumber = 0;
    std::string text;
    // "1" bits sent after the last block: a transmitter does not cut its carrier
    // on the last zero crossing, and a receiver that measures half-cycles needs
    // the crossing that ends the last one.
    int tailBits = 1;
};

// The bits of one transmission in order of sending: preamble, sync word,
// telegram, follow-on blocks, tail.
std::vector<std::uint8_t> FmsTransmissionBits(const FmsTransmission& transmission);

// Continuous-phase FSK of the bits: peak `level`, starting at phase 0 (so each
// bit boundary lies on a zero crossing), `sampleRate` samples per second.
// Samples cover the bits up to the end of the last one.
std::vector<double> FmsWaveform(const std::vector<std::uint8_t>& bits, double level, int sampleRate);

}  // namespace quorvel::gen
