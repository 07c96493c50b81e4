#include "audio_reader.h"

#include <sndfile.h>
#include <soxr.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace quorvel::tools {

namespace {

class SoundFileReader final : public AudioReader {
public:
    SoundFileReader(SNDFILE* file, const SF_INFO& info) : file_(file), info_(info) {}
    ~SoundFileReader() override { sf_close(file_); }
    int Channels() const override { return info_.channels; }
    double SampleRate() const override { return info_.samplerate; }
    long Read(double* frames, long maxFrames) override {
        const sf_count_t n = sf_readf_double(file_, frames, maxFrames);
        if (n < 0 || (n == 0 && sf_error(file_) != SF_ERR_NO_ERROR)) {
            error_ = sf_strerror(file_);
            return -1;
        }
        return static_cast<long>(n);
    }

private:
    SNDFILE* file_;
    SF_INFO info_;
};

class RawReader final : public AudioReader {
public:
    RawReader(std::FILE* file, bool owned, double rate, int channels)
        : file_(file), owned_(owned), rate_(rate), channels_(channels) {}
    ~RawReader() override {
        if (owned_) std::fclose(file_);
    }
    int Channels() const override { return channels_; }
    double SampleRate() const override { return rate_; }
    long Read(double* frames, long maxFrames) override {
        const std::size_t frameBytes = 2u * static_cast<std::size_t>(channels_);
        bytes_.resize(static_cast<std::size_t>(maxFrames) * frameBytes);
        // Keep bytes of a frame left over from the last read at the front.
        std::size_t have = carry_.size();
        std::memcpy(bytes_.data(), carry_.data(), have);
        have += std::fread(bytes_.data() + have, 1, bytes_.size() - have, file_);
        if (std::ferror(file_)) {
            error_ = std::strerror(errno);
            return -1;
        }
        const std::size_t whole = have / frameBytes;
        carry_.assign(bytes_.begin() + static_cast<std::ptrdiff_t>(whole * frameBytes),
                      bytes_.begin() + static_cast<std::ptrdiff_t>(have));
        const std::size_t samples = whole * static_cast<std::size_t>(channels_);
        for (std::size_t i = 0; i < samples; ++i) {
            const auto lo = static_cast<std::uint16_t>(bytes_[2 * i]);
            const auto hi = static_cast<std::uint16_t>(bytes_[2 * i + 1]);
            frames[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(lo | (hi << 8)));
        }
        return static_cast<long>(whole);
    }

private:
    std::FILE* file_;
    bool owned_;
    double rate_;
    int channels_;
    std::vector<unsigned char> bytes_;
    std::vector<unsigned char> carry_;
};

}  // namespace

std::unique_ptr<AudioReader> OpenSoundFile(const std::string& path, std::string& error) {
    SF_INFO info{};
    SNDFILE* file = path == "-" ? sf_open_fd(STDIN_FILENO, SFM_READ, &info, 0) : sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        error = (path == "-" ? std::string("standard input") : path) + ": " + sf_strerror(nullptr);
        return nullptr;
    }
    if (info.channels < 1 || info.samplerate < 1) {
        sf_close(file);
        error = path + ": no channels or no sample rate";
        return nullptr;
    }
    return std::make_unique<SoundFileReader>(file, info);
}

std::unique_ptr<AudioReader> OpenRawFile(const std::string& path, double sampleRate, int channels, std::string& error) {
    if (path == "-") return std::make_unique<RawReader>(stdin, false, sampleRate, channels);
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    return std::make_unique<RawReader>(file, true, sampleRate, channels);
}

RateConverter::RateConverter(double inputRate, double outputRate) : ratio_(outputRate / inputRate) {
    if (inputRate == outputRate) return;
    soxr_error_t err = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_ = soxr_create(inputRate, outputRate, 1, &err, &io, &quality, nullptr);
    if (err != nullptr) {
        error_ = std::string("cannot convert the sample rate: ") + err;
        soxr_ = nullptr;
    }
}

RateConverter::~RateConverter() {
    if (soxr_ != nullptr) soxr_delete(soxr_);
}

void RateConverter::Process(const std::vector<double>& input, bool last, std::vector<double>& output) {
    if (soxr_ == nullptr) {
        output.insert(output.end(), input.begin(), input.end());
        return;
    }
    buffer_.resize(static_cast<std::size_t>(static_cast<double>(input.size()) * ratio_) + 4096);
    std::size_t offset = 0;
    do {
        std::size_t used = 0;
        std::size_t done = 0;
        soxr_process(soxr_, input.data() + offset, input.size() - offset, &used, buffer_.data(), buffer_.size(), &done);
        output.insert(output.end(), buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(done));
        offset += used;
        if (used == 0 && done == 0) break;
    } while (offset < input.size());
    std::size_t done = 0;
    if (last) {
        do {
            soxr_process(soxr_, nullptr, 0, nullptr, buffer_.data(), buffer_.size(), &done);
            output.insert(output.end(), buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(done));
        } while (done > 0);
    }
}

}  // namespace quorvel::tools
