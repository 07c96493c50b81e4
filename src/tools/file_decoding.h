// Decoding a file or standard input through an engine: read, take the chosen
// channel, convert to 11025 Hz, cut into blocks, process each block with a take
// step after it (as the window's timer would see it), then the closing silence.
#pragma once

#include <atomic>
#include <string>

#include "core/engine.h"
#include "text_output.h"

namespace quorvel::tools {

constexpr int kExitInput = 1;
constexpr int kExitUsage = 2;

struct FileInputOptions {
    bool raw = false;        // raw signed 16-bit little-endian samples, else a sound file
    double rawRate = 0.0;    // Hz, raw input only
    int rawChannels = 1;
    int channel = 0;         // 1-based; 0: the second of a stereo input, else the first
    bool rawFormatGiven = false;  // -r or -c given
    bool stats = false;      // print the level statistics and the block count (standard error)
    // When set (a stop signal): read no more, decode what was read, end as at
    // the end of the input.
    const std::atomic<bool>* stop = nullptr;
};

// Decodes `input` (a path, or - for standard input) into `engine`, every taken
// text to `out`. Returns the exit status (0, kExitInput, kExitUsage).
int DecodeFile(const char* program, const FileInputOptions& options, const std::string& input, Engine& engine,
               Output& out, LogWatch& logWatch);

}  // namespace quorvel::tools
