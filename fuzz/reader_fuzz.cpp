// libFuzzer harness for quorvel-decode's readers: the bytes as a sound file
// (WAV, FLAC, Ogg and whatever else the sound-file library takes) or as raw
// samples, read to the end through the channel pick and the rate conversion, as
// the command line does.
//
// Input: byte 0 bit 0 raw (else a sound file); for raw, bytes 1-2 the rate
// (4000 + 16 * value Hz) and byte 3 the channels (1..4); then the file.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "audio_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorvel::tools;
    if (size < 4) return 0;
    const bool raw = (data[0] & 1) != 0;
    const double rate = 4000.0 + 16.0 * static_cast<double>(data[1] | data[2] << 8);
    const int rawChannels = 1 + data[3] % 4;
    const int fd = memfd_create("reader-fuzz", MFD_CLOEXEC);
    if (fd < 0) return 0;
    if (::write(fd, data + 4, size - 4) != static_cast<ssize_t>(size - 4)) {
        ::close(fd);
        return 0;
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    std::string error;
    auto reader = raw ? OpenRawFile(path, rate, rawChannels, error) : OpenSoundFile(path, error);
    if (reader) {
        const int channels = reader->Channels();
        const int channel = channels >= 2 ? 2 : 1;
        RateConverter converter(reader->SampleRate(), 11025.0);
        if (converter.Ok()) {
            constexpr long kChunk = 4096;
            std::vector<double> frames(static_cast<std::size_t>(kChunk * channels));
            std::vector<double> mono;
            std::vector<double> converted;
            for (int chunks = 0; chunks < 100000; ++chunks) {
                const long n = reader->Read(frames.data(), kChunk);
                reader->TakeWarnings();
                const bool last = n <= 0;
                mono.resize(static_cast<std::size_t>(n > 0 ? n : 0));
                for (std::size_t i = 0; i < mono.size(); ++i)
                    mono[i] = frames[i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(channel - 1)];
                converted.clear();
                converter.Process(mono, last, converted);
                if (last) break;
            }
        }
    }
    reader.reset();
    ::close(fd);
    return 0;
}
