#include "flac_reader.h"

#include <FLAC/stream_decoder.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace quorvel::tools {

namespace {

// Warnings about damaged frames, one each up to this many; then only the total.
constexpr long kReportedBadFrames = 10;

class FlacReader final : public AudioReader {
public:
    FlacReader(std::FILE* file, bool owned, std::string name)
        : file_(file), owned_(owned), name_(std::move(name)), decoder_(FLAC__stream_decoder_new()) {}
    ~FlacReader() override {
        if (decoder_ != nullptr) FLAC__stream_decoder_delete(decoder_);
        if (owned_) std::fclose(file_);
    }
    FlacReader(const FlacReader&) = delete;
    FlacReader& operator=(const FlacReader&) = delete;

    // Reads up to the first audio frame; false (error_ set) when there is no
    // usable stream information.
    bool Start() {
        if (decoder_ == nullptr) {
            error_ = "out of memory";
            return false;
        }
        if (FLAC__stream_decoder_init_stream(decoder_, &ReadCallback, nullptr, nullptr, nullptr, nullptr, &WriteCallback,
                                             &MetadataCallback, &ErrorCallback,
                                             this) != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
            error_ = "cannot start the FLAC decoder";
            return false;
        }
        if (!FLAC__stream_decoder_process_until_end_of_metadata(decoder_) || channels_ == 0) {
            if (error_.empty()) error_ = "no FLAC stream information";
            return false;
        }
        return true;
    }

    int Channels() const override { return static_cast<int>(channels_); }
    double SampleRate() const override { return rate_; }

    long Read(double* frames, long maxFrames) override {
        const std::size_t channels = channels_;
        if (taken_ > 0) {
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(taken_));
            taken_ = 0;
        }
        while (pending_.size() - taken_ < static_cast<std::size_t>(maxFrames) * channels && !ended_) {
            const bool ok = FLAC__stream_decoder_process_single(decoder_);
            const auto state = FLAC__stream_decoder_get_state(decoder_);
            if (state == FLAC__STREAM_DECODER_END_OF_STREAM) {
                Ended();
            } else if (!ok || state == FLAC__STREAM_DECODER_ABORTED || state == FLAC__STREAM_DECODER_MEMORY_ALLOCATION_ERROR) {
                if (readFailed_) {
                    error_ = name_ + ": " + std::strerror(readErrno_);
                    return -1;
                }
                Ended();
            }
        }
        const std::size_t available = (pending_.size() - taken_) / channels;
        const std::size_t n = std::min(available, static_cast<std::size_t>(maxFrames));
        std::copy_n(pending_.begin() + static_cast<std::ptrdiff_t>(taken_), n * channels, frames);
        taken_ += n * channels;
        return static_cast<long>(n);
    }

private:
    void Ended() {
        if (ended_) return;
        ended_ = true;
        if (badFrames_ > kReportedBadFrames)
            Warn(name_ + ": " + std::to_string(badFrames_) + " damaged stretches in all; decoded the rest");
        if (claimedFrames_ > 0 && deliveredFrames_ < claimedFrames_)
            Warn(name_ + ": ends after " + std::to_string(deliveredFrames_) + " of the " + std::to_string(claimedFrames_) +
                 " frames its header claims (cut short?); decoded what it holds");
    }

    static FLAC__StreamDecoderReadStatus ReadCallback(const FLAC__StreamDecoder*, FLAC__byte buffer[], size_t* bytes,
                                                      void* data) {
        auto* self = static_cast<FlacReader*>(data);
        if (*bytes == 0) return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
        *bytes = std::fread(buffer, 1, *bytes, self->file_);
        if (std::ferror(self->file_)) {
            self->readFailed_ = true;
            self->readErrno_ = errno;
            return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
        }
        if (*bytes == 0) return FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
        return FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
    }

    static void MetadataCallback(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* metadata, void* data) {
        auto* self = static_cast<FlacReader*>(data);
        if (metadata->type != FLAC__METADATA_TYPE_STREAMINFO) return;
        const auto& info = metadata->data.stream_info;
        self->channels_ = info.channels;
        self->rate_ = info.sample_rate;
        self->bitsPerSample_ = info.bits_per_sample;
        self->claimedFrames_ = info.total_samples;
    }

    static FLAC__StreamDecoderWriteStatus WriteCallback(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                                        const FLAC__int32* const buffer[], void* data) {
        auto* self = static_cast<FlacReader*>(data);
        const unsigned channels = frame->header.channels;
        const unsigned bits = frame->header.bits_per_sample != 0 ? frame->header.bits_per_sample : self->bitsPerSample_;
        if (channels != self->channels_ || bits < 4 || bits > 32) {
            // A frame that disagrees with the stream information cannot be placed.
            self->BadFrame("a frame that does not fit the stream");
            return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
        }
        // Values in [-1, 1), as the sound-file library delivers integer samples.
        const double scale = 1.0 / static_cast<double>(1ull << (bits - 1));
        const unsigned n = frame->header.blocksize;
        for (unsigned i = 0; i < n; ++i)
            for (unsigned c = 0; c < channels; ++c) self->pending_.push_back(buffer[c][i] * scale);
        self->deliveredFrames_ += n;
        return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
    }

    static void ErrorCallback(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus status, void* data) {
        auto* self = static_cast<FlacReader*>(data);
        switch (status) {
            case FLAC__STREAM_DECODER_ERROR_STATUS_FRAME_CRC_MISMATCH:
                self->BadFrame("a frame that fails its checksum (sent as silence)");
                break;
            case FLAC__STREAM_DECODER_ERROR_STATUS_LOST_SYNC:
                self->BadFrame("bytes that are no frame (skipped to the next frame)");
                break;
            default:
                self->BadFrame("a damaged frame (skipped to the next frame)");
                break;
        }
    }

    void BadFrame(const char* what) {
        if (channels_ == 0) {
            error_ = name_ + ": damaged FLAC stream information";
            return;
        }
        // One damage may raise several errors before the next good frame.
        if (badFrames_ > 0 && lastBadAt_ == deliveredFrames_) return;
        lastBadAt_ = deliveredFrames_;
        ++badFrames_;
        if (badFrames_ <= kReportedBadFrames) {
            const double seconds = rate_ > 0 ? static_cast<double>(deliveredFrames_) / rate_ : 0.0;
            char at[32];
            std::snprintf(at, sizeof at, "%.3f", seconds);
            Warn(name_ + ": " + what + " at " + at + " s; decoding goes on");
        }
    }

    std::FILE* file_;
    bool owned_;
    std::string name_;
    FLAC__StreamDecoder* decoder_;
    unsigned channels_ = 0;
    double rate_ = 0.0;
    unsigned bitsPerSample_ = 16;
    std::uint64_t claimedFrames_ = 0;  // 0: not stated
    std::uint64_t deliveredFrames_ = 0;
    long badFrames_ = 0;  // damaged stretches
    std::uint64_t lastBadAt_ = 0;
    bool ended_ = false;
    bool readFailed_ = false;
    int readErrno_ = 0;
    std::vector<double> pending_;  // decoded interleaved frames not yet handed out
    std::size_t taken_ = 0;
};

}  // namespace

bool LooksLikeFlac(const unsigned char* bytes, std::size_t n) { return n >= 4 && std::memcmp(bytes, "fLaC", 4) == 0; }

std::unique_ptr<AudioReader> OpenFlacStream(std::FILE* file, bool owned, const std::string& name, std::string& error) {
    auto reader = std::make_unique<FlacReader>(file, owned, name);
    if (!reader->Start()) {
        error = name + ": " + reader->Error();
        if (reader->Error().rfind(name, 0) == 0) error = reader->Error();
        return nullptr;
    }
    return reader;
}

}  // namespace quorvel::tools
