// The sound-card back end of the capture ring on PortAudio: numbered capture
// devices with their names, 11025 Hz stereo 16-bit frames delivered into the
// queued buffers in order, a wake-up per filled buffer. A device that cannot
// capture at 11025 Hz or in stereo is opened at what it can do and converted.
#pragma once

#include <memory>

#include "core/waveio.h"

std::unique_ptr<quorvel::WaveInput> CreatePortAudioInput();
