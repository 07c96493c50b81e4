// Reading audio for the command-line decoder: a sound file (WAV, FLAC, OGG...)
// or raw signed 16-bit little-endian samples from a file or standard input, one
// channel picked out and converted to the decoders' 11025 Hz.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct soxr;

namespace quorvel::tools {

// Below this an input cannot carry any of the signals (the five-tone and FMS
// tones reach about 2.8 kHz); such rates are refused rather than converted.
constexpr double kMinimumInputRate = 4000.0;

class AudioReader {
public:
    virtual ~AudioReader() = default;
    virtual int Channels() const = 0;
    virtual double SampleRate() const = 0;
    // Read up to maxFrames interleaved frames as floating-point 16-bit values.
    // Returns the frames read, 0 at the end, -1 on a read error (error() says why).
    virtual long Read(double* frames, long maxFrames) = 0;
    const std::string& Error() const { return error_; }
    // What went wrong without ending the input (a damaged frame skipped, a file
    // shorter than its header says), one line each, taken as it happens.
    std::vector<std::string> TakeWarnings() { return std::exchange(warnings_, {}); }

protected:
    void Warn(std::string text) { warnings_.push_back(std::move(text)); }
    std::string error_;
    std::vector<std::string> warnings_;
};

// Opens a sound file ("-" is standard input). Returns null and sets `error` when
// the input cannot be read as audio or its rate is below kMinimumInputRate.
std::unique_ptr<AudioReader> OpenSoundFile(const std::string& path, std::string& error);

// Opens raw signed 16-bit little-endian samples ("-" is standard input). A frame
// cut short at the end of the stream is dropped. A rate below kMinimumInputRate
// is refused like an unreadable input.
std::unique_ptr<AudioReader> OpenRawFile(const std::string& path, double sampleRate, int channels, std::string& error);

// Converts one channel from its rate to the target rate. Same rate: passed on.
// Input rates below kMinimumInputRate are refused (Ok() false), so the output of
// one call is at most about 2.8 times its input, whatever the rates.
class RateConverter {
public:
    RateConverter(double inputRate, double outputRate);
    ~RateConverter();
    RateConverter(const RateConverter&) = delete;
    RateConverter& operator=(const RateConverter&) = delete;
    bool Ok() const { return error_.empty(); }
    const std::string& Error() const { return error_; }
    // Append the converted samples of `input` to `output`; with `last`, flush.
    void Process(const std::vector<double>& input, bool last, std::vector<double>& output);

private:
    soxr* soxr_ = nullptr;
    std::string error_;
    std::vector<double> buffer_;
};

// The first bytes of a descriptor without taking them away (a file, or a pipe:
// copied out with tee(2)); empty for anything else, such as a terminal.
std::string PeekInputBytes(int fd, std::size_t want);

// The message for an input rate below kMinimumInputRate (empty when it is fine).
std::string CheckInputRate(double rate);

}  // namespace quorvel::tools
