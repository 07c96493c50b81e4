// The capture back end a program uses: the sound server's sources when a
// PulseAudio or PipeWire server is running, else PortAudio's devices.
#pragma once

#include <memory>

#include "core/waveio.h"

std::unique_ptr<quorvel::WaveInput> CreateSoundInput();
