// FLEX paging: the facts of the air format that the decoder and the test-signal
// generator share, each in one place.
//
// The signal: frames of 1.875 s (128 per 4-minute cycle, 15 cycles an hour).
// A frame opens with sync 1 at 1600 symbols/s, two-level (bit sync, the 32-bit
// mode word A, 16 bits of 0101, A inverted), then the frame information word
// (FIW: cycle, frame, a 4-bit check), then sync 2 at the frame's own symbol
// rate, then 11 blocks of 160 ms. Four modes: 1600/2 (one phase, A), 3200/2
// (3200 symbols/s, phases A and C on alternate symbols), 3200/4 (1600
// symbols/s, four levels: phase A the sign bit, B the inner bit), 6400/4 (3200
// symbols/s, four levels, A/B then C/D on alternate symbols). Each phase is a
// channel of its own: 88 words per frame, 8 per block, a block's 256 bits sent
// column by column (bit 0 of its eight words first).
//
// Words: 32 bits, bit k = the k-th bit sent. Bits 0..20 are the information
// bits i0..i20 (a field iA..iB has its least significant bit at iA), 21..30 the
// BCH(31,21) check bits, 31 parity. A phase's 88 words: BIW1, optional BIWs,
// addresses, one vector per address word, messages, idle fill.
//
// Where the description of the format is a guess, the guess lives here once,
// named, and the decoder reads it leniently (see the Uncertain* names).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace quorvel::flex {

enum class Mode : std::uint8_t { M1600_2, M3200_2, M3200_4, M6400_4 };
constexpr int ModeCount = 4;

struct ModeInfo {
    const char* name;       // "1600/2"
    std::uint32_t syncA;    // the A word in data polarity, first bit sent = bit 31
    int symbolRate;         // symbols/s of the blocks (and sync 2)
    int levels;             // 2 or 4
    int phases;             // 1, 2 or 4
};
const ModeInfo& Info(Mode m);
// The phases a mode carries as letters 0..3 = A..D, in order.
int PhaseLetter(Mode m, int index);

constexpr int HeaderRate = 1600;          // sync 1 and FIW
constexpr int SyncWindowSymbols = 64;     // A, B, first 16 of A inverted
constexpr std::uint32_t SyncB = 0x5555u;  // 16 bits after A (data polarity)
constexpr int FiwOffset = 80;             // symbols (1600/s) from the first of A
constexpr int Sync2Offset = 112;
constexpr int BlockOffset = 152;
constexpr int Sync1Lead = 32;             // bit sync before A
constexpr int FrameSymbols = 3000;        // one frame at 1600 symbols/s (1.875 s)
constexpr int Blocks = 11;
constexpr int WordsPerBlock = 8;
constexpr int WordsPerPhase = Blocks * WordsPerBlock;  // 88
constexpr int BitsPerPhase = WordsPerPhase * 32;       // 2816
constexpr int Frames = 128;
constexpr int Cycles = 15;

// Sync 2's contents are not known; the generator sends alternating symbols and
// the decoder does not look at them.
constexpr bool UncertainSync2Alternating = true;

// ----- words -----

// The whole 32-bit word of 21 information bits: check bits and parity.
std::uint32_t Encode(std::uint32_t info);
// The 10-bit syndrome of bits 0..30 (0 for a codeword); bit 31 is ignored.
std::uint32_t Syndrome(std::uint32_t word);
inline std::uint32_t InfoOf(std::uint32_t word) { return word & 0x1FFFFFu; }
// Parity of bit 31 is a guess (even), sent but never relied on.
std::uint32_t UncertainParity(std::uint32_t word31);

// The 4-bit check character: the nibble sum of the 21 bits (groups i0-3 ..
// i16-19 and i20) is 0xF mod 16.
bool CheckCharacterFits(std::uint32_t info);
std::uint32_t WithCheckCharacter(std::uint32_t info);
// Whether BIWs and vectors follow the FIW's check character rule is a guess
// (recordings leave it 0): the generator sets it, the decoder learns from
// whole BIW1s whether a sender does.

struct Corrected {
    std::uint32_t word = 0;
    bool ok = false;
    int flipped = 0;      // bits changed among 0..30
    double cost = 0.0;    // sum of |soft| of the changed bits
    // How much dearer the next-best codeword found would have been (a large
    // value when none was found): a small margin means the word was as near
    // to another codeword, and the correction a guess.
    double margin = 1e9;
    // The next-best codeword met, if any. (The margin is also bounded by
    // what a codeword the search could not meet would cost.)
    bool hasRival = false;
    std::uint32_t rival = 0;
    std::uint32_t received = 0;  // the word as received (bits 0..30)
    // The noise variance the word is judged by (set by its reader).
    double noise = 1.0;
    // The received bit 31 is the even parity of the corrected word.
    bool parityEven = false;
};

// BCH(31,21) corrector: up to two wrong bits by syndrome, and with soft values
// (index k = bit k, > 0 a one, about +-1 when clean) also candidates that flip
// every combination of the `chaseBits` least reliable bits first; the cheapest
// codeword met wins (with `parity`, bit 31 counts as even parity), and the
// next cheapest sets the margin, or the least any codeword the search cannot
// meet would cost where that is less.
class Corrector {
public:
    Corrector();
    Corrected Hard(std::uint32_t word) const;
    Corrected Soft(std::uint32_t word, std::span<const float, 32> soft, int chaseBits = ChaseBits, bool parity = false) const;
    static constexpr int ChaseBits = 5;
    // Words a page rests on are searched wider, so that a rival codeword
    // shows in the margin.
    static constexpr int WideChaseBits = 10;
    static constexpr int MaxChaseBits = 10;

private:
    std::array<std::uint32_t, 1024> pattern_{};  // by syndrome: the one or two bits
    std::array<std::uint32_t, 31> bitSyndrome_{};
};

// ----- frame information word -----

// The r and t bits' meaning (and which t bit is which phase) is a guess: they
// are read but nothing depends on them.
struct Fiw {
    int cycle = 0;
    int frame = 0;
    bool repeat = false;
    int traffic = 0;  // t: the four low-traffic flags
};
std::uint32_t FiwInfo(int cycle, int frame);
// False when the check character does not fit or a field is out of range.
bool ParseFiw(std::uint32_t info, Fiw& out);

// ----- block information word 1 -----

struct Biw1 {
    int priority = 0;
    int extraBiws = 0;    // A: the address field starts at word A + 1
    int vectorStart = 0;  // V
    int carryOn = 0;
    int collapse = 0;
};
Biw1 ParseBiw1(std::uint32_t info);
std::uint32_t Biw1Info(int extraBiws, int vectorStart);

// ----- addresses -----

enum class AddressWord : std::uint8_t { Idle, Short, LongFirst, LongSecond };
AddressWord ClassifyAddress(std::uint32_t info);
// Capcode of a short address word; of a long pair (first word, second word).
std::uint64_t ShortCapcode(std::uint32_t info);
std::uint64_t LongCapcode(std::uint32_t first, std::uint32_t second);
constexpr std::uint64_t ShortCapcodeMax = 1933312;
constexpr std::uint64_t LongCapcodeMin = 2101249;
// Sets 1-3 and 1-4 (second word 0x1E0001.. and 0x1E8001..) follow a derived
// rule; set 1-2 is confirmed.
constexpr std::uint64_t LongCapcodeMax = 3223326720ull;
bool IsLongCapcode(std::uint64_t capcode);
// Address words of a capcode (1 or 2); false for a capcode no word can carry.
bool AddressWords(std::uint64_t capcode, std::array<std::uint32_t, 2>& words, int& count);

// ----- vectors -----

enum class VectorType : std::uint8_t {
    Secure = 0, Instruction = 1, ShortMessage = 2, Numeric = 3, SpecialNumeric = 4, Alpha = 5, Binary = 6,
    NumberedNumeric = 7
};
struct Vector {
    VectorType type = VectorType::Alpha;
    int start = 0;   // b: message start word
    int words = 0;   // n
    int numericCheckLow = 0;  // numeric: K0..K3
    int shortKind = 0;        // short message: t
    int shortData = 0;        // short message: d0..d11
};
Vector ParseVector(std::uint32_t info);
std::uint32_t VectorInfo(const Vector& v);

// ----- alphanumeric -----

struct AlphaHeader {
    int check = 0;     // K, 10 bits
    bool more = false; // C: more fragments follow
    int fragment = 3;  // F: 3 first (or only), then 0, 1, 2, 0, ...
    int number = 0;    // N
    bool retrieval = false;
    bool maildrop = false;
};
AlphaHeader ParseAlphaHeader(std::uint32_t info);
std::uint32_t AlphaHeaderInfo(const AlphaHeader& h);
// The F value of fragment index i (0 = first).
int FragmentCode(int index);
// The three-group sum of one word (bits 0-7, 8-15, 16-20).
std::uint32_t GroupSum(std::uint32_t info);
// Alphanumeric fragment check K over the message words (header first, its K as
// sent). Whether the header counts is a guess: both readings are accepted, the
// generator uses the one with the header.
constexpr bool UncertainHeaderInFragmentCheck = true;
std::uint32_t FragmentCheck(std::span<const std::uint32_t> words, bool withHeader);
bool FragmentCheckFits(std::span<const std::uint32_t> words);
// Characters 1.. of a fragment's words after the header (word 2 of a first
// fragment carries the signature in its first slot; a continuation's word 2
// layout is a guess: its first slot is taken as control bits the same way).
// Trailing ETX and NUL dropped.
constexpr int EtxFill = 0x03;
void UnpackAlpha(std::span<const std::uint32_t> body, std::string& out, int& signature);
// Signature: complement of the 7-bit sum of the whole message's characters,
// fill left out (whether fill counts is a guess). The generator sends it; the
// decoder asks for it only of a whole message whose words were corrected too
// heavily for the fragment check alone to vouch for them.
int Signature(const std::string& text);
// Whether the signature in word 2 of a first fragment (`body`: the words after
// the header) fits its characters, with or without the fill counted. Only a
// whole message carries all the characters it sums.
bool SignatureFits(std::span<const std::uint32_t> body);

// ----- numeric -----

// Numeric digits: 4-bit codes from stream bit 2 on, packed across words.
// Code 0xA (spare) and the alternative character set are not known: 0xA shows
// as this character.
constexpr char UncertainSpareNumeric = '?';
char NumericChar(int code);
int NumericCode(char c);  // -1 for a character numeric pages cannot carry
constexpr int NumericSpace = 0xC;
constexpr int NumericMaxWords = 8;
// Digits of the words, trailing fill (space) dropped; K4/K5 out of word 1.
void UnpackNumeric(std::span<const std::uint32_t> words, std::string& out);
// The 6-bit check of the numeric words (K4/K5 as 0), with or without the
// vector (a guess: both accepted; the generator leaves the vector out).
int NumericCheck(std::span<const std::uint32_t> words, std::uint32_t vectorInfo, bool withVector);
bool NumericCheckFits(std::span<const std::uint32_t> words, std::uint32_t vectorInfo);
// The numbered-numeric layout is unknown: its digits are read like standard numeric.
constexpr bool UncertainNumberedAsStandard = true;
// A short message (three digits) to a long address carries five more digits in
// the word after the vector, in a layout not known: they are not read.
constexpr bool UncertainLongShortMessageDigits = false;
// The short instruction vector (temporary addresses) is not known in detail:
// counted, not shown.

}  // namespace quorvel::flex
