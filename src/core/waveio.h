// Audio capture: the list of sound-card inputs, the ring of 100 capture buffers,
// and the capture thread that hands filled buffers back to the sound card and runs
// the processing loop over the blocks that arrived.
//
// Each buffer holds 1024 frames of two interleaved signed 16-bit samples (first
// channel first), 92.9 ms at 11025 Hz; the whole ring is about 9.3 s of sound.
// The sound card fills queued buffers strictly in queue order and marks each one
// done (WHDR_DONE) when full, signalling an auto-reset event. The capture thread
// wakes on that event, hands back at most five done buffers per wake (in ring
// order), and processes the blocks it handed back in the same wake, or drops them
// when 50 or more done buffers were waiting (it has fallen too far behind).
// ExtractBlock copies the second channel of the oldest unprocessed block into the
// engine's SampleBlock.
//
// The sound card itself is reached through WaveInput, so that any audio back end
// (or a simulated device in the tests) can take its place. This file uses the
// standard library only.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine.h"
#include "processing.h"

namespace quorvel {

constexpr std::int32_t RingSize = 100;
constexpr std::uint32_t WHDR_DONE = 1;
constexpr std::int32_t ChannelCount = 2;
constexpr std::int32_t BufferSamples = FramesPerBlock * ChannelCount;
constexpr std::int32_t BufferBytes = FramesPerBlock * 2 * ChannelCount;  // 4096
constexpr std::int32_t MaxListedDevices = 20;
constexpr std::size_t DeviceNameLength = 32;

// One capture buffer as the sound card sees it. The back end fills `data`, sets
// `bytesRecorded` and then sets WHDR_DONE in `flags` (release order); the capture
// thread reads the flag with acquire order before touching the data.
struct WaveHeader {
    std::int16_t* data = nullptr;
    std::int32_t bufferLength = 0;
    std::int32_t bytesRecorded = 0;
    std::atomic<std::uint32_t> flags{0};
    std::int32_t loops = 0;
};

// An auto-reset event: Signal wakes one Wait (or the next one, if nobody waits);
// several signals before a wait count as one.
class AutoResetEvent {
public:
    void Signal();
    void Wait();
    // Back to "not signalled".
    void Reset();

private:
    std::mutex lock_;
    std::condition_variable wake_;
    bool signalled_ = false;
};

// The platform's wave-input operations; each returns 0 on success, else an error
// number. Devices are numbered from 0. After Open, the event is signalled whenever
// a buffer has been filled. Buffers queued by AddBuffer are filled in queue order.
class WaveInput {
public:
    virtual ~WaveInput();
    virtual std::int32_t GetNumDevs() = 0;
    virtual int GetDevName(std::int32_t device, std::string& name) = 0;
    // What people call the device (as the desktop's sound settings show it), or
    // an error when the back end has nothing better than the name.
    virtual int GetDevDescription(std::int32_t device, std::string& description);
    virtual int Open(std::int32_t device, AutoResetEvent& event) = 0;
    virtual int PrepareHeader(WaveHeader&) = 0;
    virtual int AddBuffer(WaveHeader&) = 0;
    virtual int Start() = 0;
    virtual int Stop() = 0;
    // Stop filling and give every queued buffer back.
    virtual int Reset() = 0;
    virtual int Close() = 0;
    // True once the open device has stopped for good (unplugged, the sound
    // server gone): nothing more arrives until it is closed and opened again.
    // Asked by the thread that opens and closes the device.
    virtual bool Lost();
};

// A listed capture device: its full name and its description (empty when the
// back end has none).
struct DeviceEntry {
    std::string name;
    std::string description;
};

// The device a user means by `query`: a number (as listed, from 0), a name, or
// a part of one description that no other description has (letter case aside).
// Returns its index, or -1 with the reason in `error`.
std::int32_t FindDevice(const std::vector<DeviceEntry>& devices, const std::string& query, std::string& error);

class WaveCapture final : public BlockSource {
public:
    WaveCapture(WaveInput& input, Engine& engine);
    ~WaveCapture() override;  // closes the capture
    WaveCapture(const WaveCapture&) = delete;
    WaveCapture& operator=(const WaveCapture&) = delete;

    // Fills DeviceCount and the first 20 DeviceNames (each cut to 32 bytes, never
    // inside a UTF-8 character; a name that cannot be read is empty).
    void EnumerateDevices();
    std::int32_t DeviceCount() const;
    const std::array<std::string, 20>& DeviceNames() const;
    // The same devices with their whole names and their descriptions.
    const std::vector<DeviceEntry>& Devices() const { return Devices_; }
    // What a device is shown as: its description, else its name.
    std::string DeviceLabel(std::int32_t index) const;

    void SetDeviceIndex(std::int32_t index);
    std::int32_t DeviceIndex() const;

    // Opens device DeviceIndex, queues the 100 buffers and starts recording; starts
    // the capture thread if it is not running. A failure anywhere leaves
    // CaptureRunning false and nothing is processed. Called while a capture is
    // open, it closes that one first.
    void OpenCapture();
    // Ends the capture thread, then stops, resets and closes the device.
    void CloseCapture();
    bool CaptureRunning() const;
    bool CaptureThreadAlive() const;
    // The open device has gone away (see WaveInput::Lost).
    bool InputLost();

    std::int32_t PendingBlocks() const override;
    void ExtractBlock(SampleArray& block) override;

    // Ring positions and counters, for tests and the status of the tools. Exact
    // only while the capture thread waits between wakes.
    std::int32_t RequeueIndex() const { return RequeueIndex_.load(std::memory_order_relaxed); }
    std::int32_t WriteIndex() const { return WriteIndex_.load(std::memory_order_relaxed); }
    std::int32_t ReadIndex() const { return ReadIndex_.load(std::memory_order_relaxed); }
    // Wakes of the capture thread completed since construction.
    std::uint64_t WakeCount() const { return WakeCount_.load(std::memory_order_acquire); }
    // Blocks processed by the loop (a reader that sees n also sees that the n-th
    // block's buffer has been read), and blocks dropped for falling behind.
    std::uint64_t ProcessedBlocks() const { return ProcessedBlocks_.load(std::memory_order_acquire); }
    std::uint64_t DroppedBlocks() const { return DroppedBlocks_.load(std::memory_order_relaxed); }

private:
    void CaptureThread();
    void UpdatePending();

    WaveInput& input_;
    Engine& engine_;

    std::int32_t DeviceCount_ = 0;
    std::int32_t DeviceIndex_ = 0;
    std::array<std::string, 20> DeviceNames_{};
    std::vector<DeviceEntry> Devices_;

    // The ring: allocated by the first OpenCapture, reused afterwards.
    std::unique_ptr<std::int16_t[]> buffers_;
    std::unique_ptr<WaveHeader[]> headers_;

    std::atomic<std::int32_t> RequeueIndex_{0};
    std::atomic<std::int32_t> WriteIndex_{0};
    std::atomic<std::int32_t> ReadIndex_{0};
    std::atomic<std::int32_t> PendingBlocks_{0};

    std::atomic<bool> CaptureRunning_{false};
    std::atomic<bool> CaptureThreadAlive_{false};
    std::atomic<bool> threadEnded_{true};
    bool deviceOpen_ = false;
    AutoResetEvent event_;
    std::thread thread_;

    std::atomic<std::uint64_t> WakeCount_{0};
    std::atomic<std::uint64_t> ProcessedBlocks_{0};
    std::atomic<std::uint64_t> DroppedBlocks_{0};
};

// Keeps a live capture going when its device goes away and comes back. Check,
// called now and then by the thread that opens and closes the capture (the
// window's timer, the tool's loop), closes a capture whose device is lost and
// opens the same device again: first after FirstRetry, then each time after
// twice the previous wait, at most LongestRetry apart, until it captures again.
// A capture that was never running (a device that failed to open) is left alone,
// and one that somebody else opened again counts as restored.
class CaptureKeeper {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    static constexpr std::chrono::milliseconds FirstRetry{500};
    static constexpr std::chrono::milliseconds LongestRetry{16000};

    enum class Change { None, Lost, Restored };

    explicit CaptureKeeper(WaveCapture& capture) : capture_(capture) {}

    Change Check(TimePoint now);
    bool Lost() const { return lost_; }
    // Attempts to open again since the loss, and the wait before the next one.
    int Attempts() const { return attempts_; }
    std::chrono::milliseconds Wait() const { return wait_; }

private:
    WaveCapture& capture_;
    bool lost_ = false;
    int attempts_ = 0;
    std::chrono::milliseconds wait_{FirstRetry};
    TimePoint next_{};
};

}  // namespace quorvel
