// FLEX test-signal generator: pages -> the 88 words of every phase of every
// frame -> symbols -> the audio a scanner's discriminator (or line output)
// delivers.
//
// Frames follow each other without a gap from the given cycle and frame on. In
// each phase a frame holds BIW1 (no further BIWs), the address words, one vector
// per address word, the messages, and idle fill (0x155555 / 0x0AAAAA
// alternately). Pages go into the first frame with room in their phase; an
// alphanumeric text longer than one fragment is sent in fragments in
// consecutive frames. The air format (and every guess it rests on) comes from
// core/sensitive/flex_protocol.h, the decoder's own, so that the two agree.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/events.h"
#include "core/sensitive/flex_protocol.h"

namespace quorvel::gen {

struct FlexPageToSend {
    enum class Kind { Alpha, Numeric, ShortNumeric, NumberedNumeric, SpecialNumeric, Tone, Binary, Secure };
    std::uint64_t capcode = 0;
    Kind kind = Kind::Alpha;
    // Alpha: 7-bit ASCII. Numeric kinds: "0123456789 U-][" (short: 1..3
    // characters; others 1..41). Binary and secure: ignored (see words).
    std::string text;
    std::vector<std::uint32_t> words;  // binary and secure: the message words' 21 bits, 1..85
    int phase = 0;                     // 0..3 = A..D; must be one the mode carries
};

struct FlexTransmission {
    flex::Mode mode = flex::Mode::M1600_2;
    int cycle = 0;   // 0..14
    int frame = 0;   // 0..127
    int frames = 1;  // at least this many frames (more when the pages need them)
    std::vector<FlexPageToSend> pages;
    // Characters per alphanumeric fragment (at most 249).
    int fragmentChars = 240;
};

// One frame's words: [phase letter][word].
struct FlexFrameWords {
    int cycle = 0;
    int frame = 0;
    std::array<std::array<std::uint32_t, flex::WordsPerPhase>, 4> words{};
};

// Empty when the page can be sent in this mode, else what is wrong with it.
std::string FlexCheckPage(const FlexPageToSend& page, flex::Mode mode);
// The frames' words. Throws std::invalid_argument for a page FlexCheckPage rejects.
std::vector<FlexFrameWords> FlexFrames(const FlexTransmission& t);

// The expected text of a page as the decoder reports it (alpha/numeric), and its type.
FlexPageType FlexExpectedType(const FlexPageToSend& page);

struct FlexSignal {
    enum class Output { Discriminator, LineOutput };
    flex::Mode mode = flex::Mode::M1600_2;
    bool inverted = false;
    double clockPpm = 0.0;   // the transmitter's symbol clock off nominal
    Output output = Output::Discriminator;
    double level = 10000.0;  // peak absolute value
    int sampleRate = 11025;
};

// Symbol levels of the frames in order (+1/-1 outer, +-1/3 inner) with the
// symbol rate of each: sync 1 and FIW at 1600/s, sync 2 and blocks at the
// mode's rate. Data polarity (bit 1 = +1).
struct FlexSymbols {
    std::vector<float> levels;
    std::vector<std::uint16_t> rates;
};
FlexSymbols FlexFrameSymbols(flex::Mode mode, const std::vector<FlexFrameWords>& frames);

// The frames as audio, clean and zero-mean around the signal, scaled so that
// the largest absolute sample equals level (same receiver shaping as the
// POCSAG generator: Gaussian edges, AC coupling or the line audio path).
std::vector<double> FlexWaveform(const FlexSignal& s, const std::vector<FlexFrameWords>& frames);

}  // namespace quorvel::gen
