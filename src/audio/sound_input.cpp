#include "sound_input.h"

#include "portaudio_input.h"
#include "pulse_input.h"

std::unique_ptr<quorvel::WaveInput> CreateSoundInput() {
    if (PulseServerRunning()) return CreatePulseInput();
    return CreatePortAudioInput();
}
