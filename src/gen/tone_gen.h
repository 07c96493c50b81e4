// Five-tone test-signal generator: selective-call sequences of the tables ZVEI
// normal, ZVEI wide, ZVEI narrow and CCIR as audio.
//
// A sequence is a run of sine tones sent back to back (optionally with a short
// silence between tones), phase-continuous from one tone to the next. A symbol
// that repeats the one before it is sent as the table's repeat tone "R", so that
// every two neighbouring tones differ. Several sequences follow each other with a
// pause of silence between them. Tones are 70 ms long in the ZVEI tables and
// 100 ms in CCIR unless chosen otherwise.
//
// The output is clean samples at the chosen sample rate, in 16-bit units (peak
// amplitude = level), together with the mean power of the tones where they
// sound, which is what a signal-to-noise ratio is measured against.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::gen {

// Table index, as the decoder numbers them: 0 ZVEI normal, 1 ZVEI wide,
// 2 ZVEI narrow, 3 CCIR. Accepts those numbers or the names (any case, blank or
// '-' between words: "zvei-normal", "ZVEI wide", "ccir"; "zvei" is ZVEI normal).
// Returns -1 for an unknown name.
int ToneTableByName(std::string_view name);

// The usual tone length of a table in seconds.
double StandardToneSeconds(int table);

// The frequencies of the symbols of one sequence in a table, e.g. "12345",
// "1R1R1", "Gr" (an entry's text; "Gr" is one symbol). With repeatTone, a symbol
// equal to the one before it becomes the repeat tone ("11111" sends 1R1R1).
// On an unknown symbol returns false and names it in *error.
bool ToneFrequencies(int table, std::string_view symbols, bool repeatTone, std::vector<double>& out,
                     std::string* error = nullptr);

struct ToneTiming {
    double toneSeconds = 0.070;   // length of each tone
    double gapSeconds = 0.0;      // silence between two tones of a sequence
    double pauseSeconds = 0.200;  // silence between two sequences
};

struct ToneSignal {
    std::vector<double> samples;  // 16-bit units, not yet quantised
    double signalPower = 0.0;     // mean square over the tone samples
};

// Synthesise the sequences one after another. Each sequence is a list of tone
// frequencies in Hz.
ToneSignal SynthesizeToneSequences(const std::vector<std::vector<double>>& sequences, const ToneTiming& timing,
                                   double level, int sampleRate);

}  // namespace quorvel::gen
