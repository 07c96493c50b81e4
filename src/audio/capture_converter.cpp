#include "capture_converter.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace quorvel {

namespace {

constexpr double kOutputRate = DefaultSampleRate;
constexpr float kFromInt16 = 1.0f / 32768.0f;
// Seconds of silence the rate converter is run on before use.
constexpr double kPrimeSeconds = 4.0;

}  // namespace

CaptureConverter::CaptureConverter(double inputRate, int inputChannels, CaptureSampleFormat format,
                                   FilledBufferListener* listener)
    : rate_(inputRate), channels_(inputChannels), format_(format), listener_(listener) {
    if (!(inputRate > 0.0) || !std::isfinite(inputRate) || inputChannels < 1) return;
    if (format != CaptureSampleFormat::Int16 && format != CaptureSampleFormat::Float32) return;
    if (inputRate != kOutputRate) {
        // Room for what one block of input makes, with plenty to spare; the rest
        // is fetched by further calls.
        outFrames_ = std::max<std::size_t>(
            4096, 4 * static_cast<std::size_t>(std::ceil(ResampleBlockFrames * kOutputRate / inputRate)));
        floatIn_.assign(ResampleBlockFrames * ChannelCount, 0.0f);
        floatOut_.assign(outFrames_ * ChannelCount, 0.0f);
        if (!StartResampler()) return;
    }
    pcm_.assign(std::max(ChunkFrames, outFrames_) * ChannelCount, 0);
    ready_ = true;
}

bool CaptureConverter::StartResampler() {
    if (resampler_ != nullptr) soxr_delete(resampler_);
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_error_t error = nullptr;
    resampler_ = soxr_create(rate_, kOutputRate, ChannelCount, &error, &io, &quality, nullptr);
    if (error != nullptr) {
        if (resampler_ != nullptr) soxr_delete(resampler_);
        resampler_ = nullptr;
        return false;
    }
    // The rate converter's own buffers grow while it runs until they reach the
    // size that steady input in equal blocks needs. Run it on silence here, so
    // that this growth (an allocation) happens now and not in the callback.
    std::fill(floatIn_.begin(), floatIn_.end(), 0.0f);
    const std::size_t blocks =
        static_cast<std::size_t>(std::ceil(kPrimeSeconds * rate_ / static_cast<double>(ResampleBlockFrames)));
    for (std::size_t i = 0; i < blocks; ++i) ResampleBlock(false);
    staged_ = 0;
    // What the silence left in it comes out first: skipped, so that the first
    // frame delivered belongs to the first frame received, as in a fresh one.
    skip_ = static_cast<std::size_t>(std::max(0.0, std::floor(soxr_delay(resampler_))));
    return true;
}

CaptureConverter::~CaptureConverter() {
    if (resampler_ != nullptr) soxr_delete(resampler_);
}

bool CaptureConverter::Queue(WaveHeader& header) {
    if (header.data == nullptr || header.bufferLength != BufferBytes) return false;
    const std::uint32_t head = head_.load(std::memory_order_relaxed);
    if (head - tail_.load(std::memory_order_acquire) >= QueueCapacity) return false;
    header.bytesRecorded = 0;
    header.flags.fetch_and(~WHDR_DONE, std::memory_order_relaxed);
    slots_[head % QueueCapacity] = &header;
    head_.store(head + 1, std::memory_order_release);
    return true;
}

WaveHeader* CaptureConverter::PopQueued() {
    const std::uint32_t tail = tail_.load(std::memory_order_relaxed);
    if (tail == head_.load(std::memory_order_acquire)) return nullptr;
    WaveHeader* h = slots_[tail % QueueCapacity];
    tail_.store(tail + 1, std::memory_order_release);
    return h;
}

void CaptureConverter::Clear() {
    head_.store(0);
    tail_.store(0);
    current_ = nullptr;
    currentFrames_ = 0;
    // A fresh rate converter, made ready as at construction.
    if (resampler_ != nullptr && !StartResampler()) ready_ = false;
}

void CaptureConverter::Receive(const void* samples, std::size_t frames) {
    if (!ready_ || samples == nullptr) return;
    const std::size_t sampleBytes = format_ == CaptureSampleFormat::Int16 ? sizeof(std::int16_t) : sizeof(float);
    const std::size_t frameBytes = sampleBytes * static_cast<std::size_t>(channels_);
    const auto* bytes = static_cast<const unsigned char*>(samples);
    while (frames > 0) {
        const std::size_t n = std::min(frames, ChunkFrames);
        ReceiveChunk(bytes, n);
        bytes += n * frameBytes;
        frames -= n;
    }
}

void CaptureConverter::ReceiveChunk(const void* samples, std::size_t frames) {
    if (resampler_ == nullptr) {
        if (format_ == CaptureSampleFormat::Int16 && channels_ == ChannelCount) {
            Deliver(static_cast<const std::int16_t*>(samples), frames);
        } else {
            ToInt16Stereo(samples, frames);
            Deliver(pcm_.data(), frames);
        }
        return;
    }
    // The rate converter gets blocks of ResampleBlockFrames frames, whatever the
    // callback's size.
    const std::size_t frameBytes = (format_ == CaptureSampleFormat::Int16 ? sizeof(std::int16_t) : sizeof(float)) *
                                   static_cast<std::size_t>(channels_);
    const auto* bytes = static_cast<const unsigned char*>(samples);
    while (frames > 0) {
        const std::size_t n = std::min(frames, ResampleBlockFrames - staged_);
        ToFloatStereo(bytes, n, floatIn_.data() + staged_ * ChannelCount);
        staged_ += n;
        bytes += n * frameBytes;
        frames -= n;
        if (staged_ == ResampleBlockFrames) {
            ResampleBlock(true);
            staged_ = 0;
        }
    }
}

void CaptureConverter::ResampleBlock(bool deliver) {
    std::size_t consumed = 0;
    for (;;) {
        std::size_t used = 0;
        std::size_t made = 0;
        // The input pointer is never null: a null one would end the stream.
        soxr_process(resampler_, floatIn_.data() + consumed * ChannelCount, ResampleBlockFrames - consumed, &used,
                     floatOut_.data(), outFrames_, &made);
        std::size_t from = 0;
        if (deliver && skip_ > 0) {
            from = std::min(skip_, made);
            skip_ -= from;
        }
        if (deliver && made > from) {
            FloatToInt16(floatOut_.data() + from * ChannelCount, (made - from) * ChannelCount, pcm_.data());
            Deliver(pcm_.data(), made - from);
        }
        consumed += used;
        if (consumed >= ResampleBlockFrames && made < outFrames_) break;
        if (used == 0 && made == 0) break;
    }
}

void CaptureConverter::ToFloatStereo(const void* samples, std::size_t frames, float* out) {
    const std::size_t c = static_cast<std::size_t>(channels_);
    const std::size_t second = c > 1 ? 1 : 0;
    if (format_ == CaptureSampleFormat::Int16) {
        const auto* in = static_cast<const std::int16_t*>(samples);
        for (std::size_t k = 0; k < frames; ++k, in += c) {
            *out++ = static_cast<float>(in[0]) * kFromInt16;
            *out++ = static_cast<float>(in[second]) * kFromInt16;
        }
    } else {
        const auto* in = static_cast<const float*>(samples);
        for (std::size_t k = 0; k < frames; ++k, in += c) {
            *out++ = in[0];
            *out++ = in[second];
        }
    }
}

void CaptureConverter::ToInt16Stereo(const void* samples, std::size_t frames) {
    const std::size_t c = static_cast<std::size_t>(channels_);
    const std::size_t second = c > 1 ? 1 : 0;
    std::int16_t* out = pcm_.data();
    if (format_ == CaptureSampleFormat::Int16) {
        const auto* in = static_cast<const std::int16_t*>(samples);
        for (std::size_t k = 0; k < frames; ++k, in += c) {
            *out++ = in[0];
            *out++ = in[second];
        }
    } else {
        // Reuse the float conversion frame by frame: two samples at a time.
        const auto* in = static_cast<const float*>(samples);
        for (std::size_t k = 0; k < frames; ++k, in += c) {
            const float pair[2] = {in[0], in[second]};
            FloatToInt16(pair, 2, out);
            out += 2;
        }
    }
}

void CaptureConverter::FloatToInt16(const float* in, std::size_t samples, std::int16_t* out) {
    std::uint64_t clips = 0;
    for (std::size_t k = 0; k < samples; ++k) {
        const float x = in[k] * 32768.0f;
        std::int16_t v;
        if (std::isnan(x)) {
            v = 0;
        } else if (x >= 32767.5f) {
            v = 32767;
            ++clips;
        } else if (x < -32768.5f) {
            v = -32768;
            ++clips;
        } else {
            v = static_cast<std::int16_t>(std::lrint(x));
        }
        out[k] = v;
    }
    if (clips > 0) clipped_.fetch_add(clips, std::memory_order_relaxed);
}

void CaptureConverter::Deliver(const std::int16_t* stereo, std::size_t frames) {
    while (frames > 0) {
        if (current_ == nullptr) {
            current_ = PopQueued();
            currentFrames_ = 0;
            if (current_ == nullptr) {  // no buffer queued: the sound is lost
                lost_.fetch_add(frames, std::memory_order_relaxed);
                return;
            }
        }
        const std::size_t n = std::min<std::size_t>(frames, FramesPerBlock - currentFrames_);
        std::memcpy(current_->data + currentFrames_ * ChannelCount, stereo, n * ChannelCount * sizeof(std::int16_t));
        currentFrames_ += n;
        stereo += n * ChannelCount;
        frames -= n;
        delivered_.fetch_add(n, std::memory_order_relaxed);
        if (currentFrames_ == static_cast<std::size_t>(FramesPerBlock)) {
            WaveHeader* filled = current_;
            current_ = nullptr;
            currentFrames_ = 0;
            filled->bytesRecorded = filled->bufferLength;
            filled->flags.fetch_or(WHDR_DONE, std::memory_order_release);
            if (listener_ != nullptr) listener_->BufferFilled(*filled);
        }
    }
}

}  // namespace quorvel
