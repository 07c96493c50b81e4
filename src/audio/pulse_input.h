// The sound-card back end of the capture ring on a PulseAudio (or PipeWire)
// sound server, through libpulse: the server's sources as its sound settings
// show them, each with its name and description, captured as 11025 Hz stereo
// 16-bit frames (the server converts) into the queued buffers, a wake-up per
// filled buffer, and Lost() once the stream or the server connection has failed.
#pragma once

#include <memory>

#include "core/waveio.h"

// True when a sound server answers (without starting one).
bool PulseServerRunning();

std::unique_ptr<quorvel::WaveInput> CreatePulseInput();
