// From a sound card's frames to the capture ring's buffers.
//
// A device delivers interleaved frames at its own rate, with one, two or more
// channels, as signed 16-bit or 32-bit floating-point samples (full scale +-1.0).
// CaptureConverter turns them into 11025 Hz stereo signed 16-bit frames: a single
// channel is copied to both, of more than two channels the first two are kept, a
// different rate goes through libsoxr, floating-point samples are rounded and
// clipped at full scale. The frames fill the buffers queued by Queue strictly in
// queue order; each full buffer gets bytesRecorded = its length and WHDR_DONE
// (release order), and then one notice to the listener.
//
// 11025 Hz stereo 16-bit input is copied through unchanged. Everything the
// conversion needs is allocated by the constructor; Receive allocates nothing.
// The rate converter takes the input in blocks of 512 frames, and the constructor
// runs it on a few seconds of silence, so that its own buffers have grown to
// their steady size before the first callback (what that silence leaves in it is
// dropped, so output starts with the first frame received). The frames still in
// the rate converter (a few hundred, some 30-90 ms) come out as later input
// pushes them.
//
// Threads: Queue is called by one thread (the one that hands buffers back),
// Receive by another (the device's callback); Clear only while Receive cannot run.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/waveio.h"

struct soxr;

namespace quorvel {

enum class CaptureSampleFormat { Int16, Float32 };

// Told of every buffer the converter has filled, in the order they were filled,
// from the thread that called Receive.
class FilledBufferListener {
public:
    virtual ~FilledBufferListener() = default;
    virtual void BufferFilled(WaveHeader& filled) = 0;
};

class CaptureConverter {
public:
    // Frames of input handled per conversion step; Receive takes any count.
    static constexpr std::size_t ChunkFrames = 4096;
    // Frames of input the rate converter takes at a time.
    static constexpr std::size_t ResampleBlockFrames = 512;
    // Buffers that can wait in the queue (more than the ring holds).
    static constexpr std::uint32_t QueueCapacity = 128;

    // inputRate > 0 and inputChannels >= 1, else Ready() is false. The listener
    // may be null and must outlive the converter.
    CaptureConverter(double inputRate, int inputChannels, CaptureSampleFormat format,
                     FilledBufferListener* listener);
    ~CaptureConverter();
    CaptureConverter(const CaptureConverter&) = delete;
    CaptureConverter& operator=(const CaptureConverter&) = delete;

    // False when the format is unusable or the rate converter could not be made;
    // Receive then does nothing.
    bool Ready() const { return ready_; }
    bool Resampling() const { return resampler_ != nullptr; }

    // Appends a buffer to the queue: bytesRecorded := 0, WHDR_DONE cleared. False
    // (and nothing queued) when the queue is full or the header is not one block
    // (data set, bufferLength = BufferBytes).
    bool Queue(WaveHeader& header);

    // Forgets every queued buffer and the partly filled one, and starts the rate
    // conversion afresh. Only while Receive cannot run.
    void Clear();

    // `frames` frames of the device, interleaved, in the format given at
    // construction.
    void Receive(const void* samples, std::size_t frames);

    // Frames written into buffers, frames that found no queued buffer (lost), and
    // samples clipped at full scale, since construction.
    std::uint64_t DeliveredFrames() const { return delivered_.load(std::memory_order_relaxed); }
    std::uint64_t LostFrames() const { return lost_.load(std::memory_order_relaxed); }
    std::uint64_t ClippedSamples() const { return clipped_.load(std::memory_order_relaxed); }

private:
    void ReceiveChunk(const void* samples, std::size_t frames);
    bool StartResampler();
    void ResampleBlock(bool deliver);
    void ToFloatStereo(const void* samples, std::size_t frames, float* out);
    void ToInt16Stereo(const void* samples, std::size_t frames);
    void FloatToInt16(const float* in, std::size_t samples, std::int16_t* out);
    void Deliver(const std::int16_t* stereo, std::size_t frames);
    WaveHeader* PopQueued();

    double rate_;
    int channels_;
    CaptureSampleFormat format_;
    FilledBufferListener* listener_;
    bool ready_ = false;
    soxr* resampler_ = nullptr;

    // Single producer (Queue), single consumer (Receive).
    std::array<WaveHeader*, QueueCapacity> slots_{};
    std::atomic<std::uint32_t> head_{0};
    std::atomic<std::uint32_t> tail_{0};
    WaveHeader* current_ = nullptr;
    std::size_t currentFrames_ = 0;

    std::vector<float> floatIn_;      // ResampleBlockFrames stereo frames
    std::size_t staged_ = 0;          // of them waiting for the rate converter
    std::size_t skip_ = 0;            // output frames of the silence still to drop
    std::vector<float> floatOut_;     // outFrames_ stereo frames
    std::vector<std::int16_t> pcm_;   // max(ChunkFrames, outFrames_) stereo frames
    std::size_t outFrames_ = 0;

    std::atomic<std::uint64_t> delivered_{0};
    std::atomic<std::uint64_t> lost_{0};
    std::atomic<std::uint64_t> clipped_{0};
};

}  // namespace quorvel
