#include "audio_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <sndfile.h>
#include <soxr.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <thread>

#include "container_length.h"
#include "flac_reader.h"

namespace quorvel::tools {

namespace {

std::string InputName(const std::string& path) { return path == "-" ? std::string("standard input") : path; }

class SoundFileReader final : public AudioReader {
public:
    SoundFileReader(SNDFILE* file, const SF_INFO& info, std::string name, std::uint64_t claimedFrames,
                    std::string endProblem)
        : file_(file), info_(info), name_(std::move(name)), claimedFrames_(claimedFrames),
          endProblem_(std::move(endProblem)) {}
    ~SoundFileReader() override { sf_close(file_); }
    int Channels() const override { return info_.channels; }
    double SampleRate() const override { return info_.samplerate; }
    long Read(double* frames, long maxFrames) override {
        const sf_count_t n = sf_readf_double(file_, frames, maxFrames);
        if (n < 0 || (n == 0 && sf_error(file_) != SF_ERR_NO_ERROR)) {
            error_ = sf_strerror(file_);
            return -1;
        }
        delivered_ += static_cast<std::uint64_t>(n);
        if (n == 0) Ended();
        return static_cast<long>(n);
    }

private:
    void Ended() {
        if (ended_) return;
        ended_ = true;
        if (claimedFrames_ > 0 && delivered_ < claimedFrames_) {
            Warn(name_ + ": ends after " + std::to_string(delivered_) + " of the " + std::to_string(claimedFrames_) +
                 " frames its header claims (cut short?); decoded what it holds");
        } else if (!endProblem_.empty()) {
            Warn(name_ + ": " + endProblem_ + "; decoded what it holds");
        }
    }

    SNDFILE* file_;
    SF_INFO info_;
    std::string name_;
    std::uint64_t claimedFrames_;  // 0: not known
    std::string endProblem_;
    std::uint64_t delivered_ = 0;
    bool ended_ = false;
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
        // Keep bytes of a frame left over from the last read at the front (none
        // at all most of the time: then there is nothing to copy from).
        std::size_t have = carry_.size();
        if (have > 0) std::memcpy(bytes_.data(), carry_.data(), have);
        errno = 0;
        have += std::fread(bytes_.data() + have, 1, bytes_.size() - have, file_);
        if (std::ferror(file_) && errno == EINTR) {
            // A signal ended the read: what came before it is decoded, and the
            // caller decides whether to read on.
            std::clearerr(file_);
        } else if (std::ferror(file_)) {
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

bool IsFlac(const std::string& head) {
    return LooksLikeFlac(reinterpret_cast<const unsigned char*>(head.data()), head.size());
}

}  // namespace

// The first bytes of a descriptor without taking them away: read at the current
// offset of a file, or copied out of a pipe with tee(2), which leaves them in it
// for whoever reads next. Anything else (a terminal, a socket) is not looked at.
std::string PeekInputBytes(int fd, std::size_t want) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return {};
    std::string bytes(want, '\0');
    if (S_ISREG(st.st_mode)) {
        const off_t at = ::lseek(fd, 0, SEEK_CUR);
        const ssize_t n = at < 0 ? -1 : ::pread(fd, bytes.data(), want, at);
        bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return bytes;
    }
    if (!S_ISFIFO(st.st_mode)) return {};
    int copy[2];
    if (::pipe(copy) != 0) return {};
    ssize_t n = 0;
    for (;;) {
        n = ::tee(fd, copy[1], want, 0);  // waits for the first bytes
        if (n <= 0 || static_cast<std::size_t>(n) >= want) break;
        // Fewer bytes than asked are waiting: more may come, unless every writer
        // has gone.
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 0) > 0 && (p.revents & POLLHUP) != 0) {
            n = ::tee(fd, copy[1], want, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const ssize_t got = n > 0 ? ::read(copy[0], bytes.data(), static_cast<std::size_t>(n)) : 0;
    ::close(copy[0]);
    ::close(copy[1]);
    bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return bytes;
}

std::string CheckInputRate(double rate) {
    if (rate >= kMinimumInputRate) return {};
    char text[160];
    std::snprintf(text, sizeof text,
                  "a sample rate of %g Hz is too low to carry POCSAG, FMS or five-tone signals (at least %g Hz)", rate,
                  kMinimumInputRate);
    return text;
}

std::unique_ptr<AudioReader> OpenSoundFile(const std::string& path, std::string& error) {
    const std::string name = InputName(path);
    std::unique_ptr<AudioReader> reader;
    int fd = -1;
    if (path == "-") {
        fd = STDIN_FILENO;
        if (IsFlac(PeekInputBytes(fd, 4))) reader = OpenFlacStream(stdin, false, name, error);
    } else if (struct stat st {}; ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        // Only a plain file is looked at first: reading from a named pipe would
        // take the bytes away from the library that opens it again.
        std::FILE* file = std::fopen(path.c_str(), "rb");
        if (file != nullptr) {
            unsigned char head[4] = {};
            const std::size_t n = std::fread(head, 1, sizeof head, file);
            if (LooksLikeFlac(head, n)) {
                std::rewind(file);
                reader = OpenFlacStream(file, true, name, error);
                if (!reader) return nullptr;
            } else {
                std::fclose(file);
            }
        }
    }
    if (!reader && !error.empty()) return nullptr;
    if (!reader) {
        SF_INFO info{};
        SNDFILE* file = fd >= 0 ? sf_open_fd(fd, SFM_READ, &info, 0) : sf_open(path.c_str(), SFM_READ, &info);
        if (file == nullptr) {
            error = name + ": " + sf_strerror(nullptr);
            return nullptr;
        }
        if (info.channels < 1 || info.samplerate < 1) {
            sf_close(file);
            error = name + ": no channels or no sample rate";
            return nullptr;
        }
        // What the framing claims, where the library's own length would hide a
        // file cut short: it trims a WAV's frame count to what the file holds.
        // A streaming writer on a pipe leaves a placeholder of about 2 or 4 GiB.
        std::uint64_t claimed = info.frames > 0 && info.frames < 0x7FFF0000LL / (2LL * info.channels)
                                    ? static_cast<std::uint64_t>(info.frames)
                                    : 0;
        // An MPEG stream's count is the library's estimate from the bit rate,
        // not a length the file claims.
        if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG) claimed = 0;
        std::string endProblem;
        struct stat st {};
        const bool plain = fd >= 0 || (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode));
        const int ownFd = fd >= 0 ? fd : plain ? ::open(path.c_str(), O_RDONLY | O_CLOEXEC) : -1;
        if (ownFd >= 0) {
            const int major = info.format & SF_FORMAT_TYPEMASK;
            if (major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX) {
                const int frameBytes = (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16 ? 2 * info.channels : 0;
                const auto chunk = ReadWavDataChunk(ownFd);
                if (chunk && chunk->claimedBytes > chunk->presentBytes) {
                    if (frameBytes > 0) {
                        claimed = std::max<std::uint64_t>(claimed, chunk->claimedBytes / static_cast<unsigned>(frameBytes));
                    } else {
                        endProblem = "holds fewer bytes of samples than its header claims (cut short?)";
                    }
                }
            } else if (major == SF_FORMAT_OGG) {
                if (const auto problem = CheckOggEnd(ownFd)) endProblem = *problem;
            }
            if (ownFd != fd) ::close(ownFd);
        }
        reader = std::make_unique<SoundFileReader>(file, info, name, claimed, endProblem);
    }
    if (const std::string low = CheckInputRate(reader->SampleRate()); !low.empty()) {
        error = name + ": " + low;
        return nullptr;
    }
    return reader;
}

std::unique_ptr<AudioReader> OpenRawFile(const std::string& path, double sampleRate, int channels, std::string& error) {
    if (const std::string low = CheckInputRate(sampleRate); !low.empty()) {
        error = "raw input: " + low;
        return nullptr;
    }
    if (path == "-") return std::make_unique<RawReader>(stdin, false, sampleRate, channels);
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    return std::make_unique<RawReader>(file, true, sampleRate, channels);
}

RateConverter::RateConverter(double inputRate, double outputRate) {
    if (const std::string low = CheckInputRate(inputRate); !low.empty()) {
        error_ = low;
        return;
    }
    if (inputRate == outputRate) return;
    soxr_error_t err = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_ = soxr_create(inputRate, outputRate, 1, &err, &io, &quality, nullptr);
    if (err != nullptr) {
        error_ = std::string("cannot convert the sample rate: ") + err;
        soxr_ = nullptr;
    }
    buffer_.resize(4096);
}

RateConverter::~RateConverter() {
    if (soxr_ != nullptr) soxr_delete(soxr_);
}

void RateConverter::Process(const std::vector<double>& input, bool last, std::vector<double>& output) {
    if (!Ok()) return;
    if (soxr_ == nullptr) {
        output.insert(output.end(), input.begin(), input.end());
        return;
    }
    // A buffer of fixed size, emptied into `output` as often as it fills.
    std::size_t offset = 0;
    while (offset < input.size()) {
        std::size_t used = 0;
        std::size_t done = 0;
        soxr_process(soxr_, input.data() + offset, input.size() - offset, &used, buffer_.data(), buffer_.size(), &done);
        output.insert(output.end(), buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(done));
        offset += used;
        if (used == 0 && done == 0) break;
    }
    if (last) {
        std::size_t done = 0;
        do {
            soxr_process(soxr_, nullptr, 0, nullptr, buffer_.data(), buffer_.size(), &done);
            output.insert(output.end(), buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(done));
        } while (done > 0);
    }
}

}  // namespace quorvel::tools
