// FLAC through libFLAC itself rather than the sound-file library: it reads a
// stream from front to back without seeking (so a pipe works like a file), and a
// damaged frame is skipped with a warning (libFLAC finds the next frame and sends
// a frame that fails its checksum as silence) instead of ending the input.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "audio_reader.h"

namespace quorvel::tools {

// Reads the FLAC stream on `file` (closed at the end when `owned`); `name` is
// used in messages. Returns null and sets `error` when no FLAC stream starts there.
std::unique_ptr<AudioReader> OpenFlacStream(std::FILE* file, bool owned, const std::string& name, std::string& error);

// True when the bytes start like a FLAC stream.
bool LooksLikeFlac(const unsigned char* bytes, std::size_t n);

}  // namespace quorvel::tools
