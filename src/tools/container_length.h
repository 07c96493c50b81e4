// What a sound file's own framing says about its length, read from the file
// before the audio library opens it, so that a file cut short (a recorder that
// died, a copy that stopped) is reported instead of ending quietly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quorvel::tools {

// The bytes of samples the data chunk of a WAV file (RIFF, little-endian) claims,
// and the bytes the file holds after the chunk's start. Nothing when the file is
// no such WAV, or the chunk's size is a placeholder a streaming writer leaves (0
// or 0xFFFFFFFF).
struct WavDataChunk {
    std::uint64_t claimedBytes = 0;
    std::uint64_t presentBytes = 0;
};
std::optional<WavDataChunk> ReadWavDataChunk(int fd);

// For an Ogg file: empty when its last page is complete and marks the end of
// its stream, else what is wrong (one phrase). Nothing when the file does not
// start with an Ogg page.
std::optional<std::string> CheckOggEnd(int fd);

}  // namespace quorvel::tools
