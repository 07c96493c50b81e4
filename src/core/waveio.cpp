// Audio capture: the ring of 100 buffers of 1024 stereo 16-bit frames, the
// capture thread over it, and the extraction of the second channel into the
// engine's SampleBlock. See waveio.h for the layout and the hand-back rule.
#include "waveio.h"

#include <chrono>

namespace quorvel {

void AutoResetEvent::Signal() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        signalled_ = true;
    }
    wake_.notify_one();
}

void AutoResetEvent::Wait() {
    std::unique_lock<std::mutex> guard(lock_);
    wake_.wait(guard, [this] { return signalled_; });
    signalled_ = false;
}

void AutoResetEvent::Reset() {
    std::lock_guard<std::mutex> guard(lock_);
    signalled_ = false;
}

WaveInput::~WaveInput() = default;

WaveCapture::WaveCapture(WaveInput& input, Engine& engine) : input_(input), engine_(engine) {}

WaveCapture::~WaveCapture() { CloseCapture(); }

namespace {

// The longest prefix of at most `limit` bytes that does not end inside a UTF-8
// character (a name cut in the middle of one would show as garbage).
std::string CutName(const std::string& name, std::size_t limit) {
    if (name.size() <= limit) return name;
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0u) == 0x80u) --end;
    return name.substr(0, end);
}

}  // namespace

void WaveCapture::EnumerateDevices() {
    DeviceCount_ = input_.GetNumDevs();
    if (DeviceCount_ < 0) DeviceCount_ = 0;
    for (auto& name : DeviceNames_) name.clear();
    for (std::int32_t i = 0; i < DeviceCount_ && i < MaxListedDevices; ++i) {
        std::string name;
        if (input_.GetDevName(i, name) == 0) DeviceNames_[static_cast<std::size_t>(i)] = CutName(name, DeviceNameLength);
    }
}

std::int32_t WaveCapture::DeviceCount() const { return DeviceCount_; }

const std::array<std::string, 20>& WaveCapture::DeviceNames() const { return DeviceNames_; }

void WaveCapture::SetDeviceIndex(std::int32_t index) { DeviceIndex_ = index; }

std::int32_t WaveCapture::DeviceIndex() const { return DeviceIndex_; }

bool WaveCapture::CaptureRunning() const { return CaptureRunning_.load(); }

bool WaveCapture::CaptureThreadAlive() const { return CaptureThreadAlive_.load(); }

void WaveCapture::OpenCapture() {
    // Resetting the headers and indices under a running thread and an open device
    // would hand the platform buffers it is filling: close the old capture first.
    if (CaptureThreadAlive_.load() || deviceOpen_) CloseCapture();

    // SampleBlock lives in the engine's shared context, already of block size.
    if (!buffers_) {
        buffers_ = std::make_unique<std::int16_t[]>(static_cast<std::size_t>(RingSize) * BufferSamples);
        headers_ = std::make_unique<WaveHeader[]>(RingSize);
    }
    for (std::int32_t k = 0; k < RingSize; ++k) {
        WaveHeader& h = headers_[static_cast<std::size_t>(k)];
        h.data = buffers_.get() + static_cast<std::size_t>(k) * BufferSamples;
        h.bufferLength = BufferBytes;
        h.bytesRecorded = 0;
        h.flags.store(0);
        h.loops = 0;
    }
    RequeueIndex_.store(0);
    ReadIndex_.store(0);
    WriteIndex_.store(0);
    PendingBlocks_.store(0);

    event_.Reset();
    if (!CaptureThreadAlive_.load()) {
        CaptureThreadAlive_.store(true);
        threadEnded_.store(false);
        thread_ = std::thread([this] { CaptureThread(); });
    }

    if (input_.Open(DeviceIndex_, event_) != 0) return;
    deviceOpen_ = true;
    for (std::int32_t k = 0; k < RingSize; ++k)
        if (input_.PrepareHeader(headers_[static_cast<std::size_t>(k)]) != 0) return;
    for (std::int32_t k = 0; k < RingSize; ++k)
        if (input_.AddBuffer(headers_[static_cast<std::size_t>(k)]) != 0) return;
    if (input_.Start() != 0) return;
    CaptureRunning_.store(true);
}

void WaveCapture::CloseCapture() {
    CaptureRunning_.store(false);
    CaptureThreadAlive_.store(false);
    if (thread_.joinable()) {
        // A thread in the middle of a wake finishes its blocks first; a waiting
        // one is woken by the next signal and sees it shall end.
        while (!threadEnded_.load()) {
            event_.Signal();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        thread_.join();
    }
    if (deviceOpen_) {
        input_.Stop();
        input_.Reset();
        input_.Close();
        deviceOpen_ = false;
    }
    event_.Reset();
}

void WaveCapture::UpdatePending() {
    const std::int32_t write = WriteIndex_.load(std::memory_order_relaxed);
    const std::int32_t read = ReadIndex_.load(std::memory_order_relaxed);
    PendingBlocks_.store((write - read + RingSize) % RingSize, std::memory_order_relaxed);
}

void WaveCapture::CaptureThread() {
    constexpr std::int32_t MaxHandBack = 5;
    while (CaptureThreadAlive_.load()) {
        event_.Wait();
        if (!CaptureThreadAlive_.load()) break;

        std::int32_t requeue = RequeueIndex_.load(std::memory_order_relaxed);
        std::int32_t done = 0;
        while (done < RingSize &&
               (headers_[static_cast<std::size_t>((requeue + done) % RingSize)].flags.load(std::memory_order_acquire) &
                WHDR_DONE) != 0)
            ++done;

        for (std::int32_t handed = 0; handed < MaxHandBack; ++handed) {
            WaveHeader& h = headers_[static_cast<std::size_t>(requeue)];
            if ((h.flags.load(std::memory_order_acquire) & WHDR_DONE) == 0) break;
            h.flags.fetch_and(~WHDR_DONE, std::memory_order_acq_rel);
            input_.AddBuffer(h);
            requeue = (requeue + 1) % RingSize;
        }
        RequeueIndex_.store(requeue, std::memory_order_relaxed);
        WriteIndex_.store(requeue, std::memory_order_relaxed);
        UpdatePending();

        if (CaptureRunning_.load() && RingSize * 0.5 > done) {
            engine_.ProcessPendingBlocks(*this);
        } else {
            DroppedBlocks_.fetch_add(static_cast<std::uint64_t>(PendingBlocks_.load(std::memory_order_relaxed)),
                                     std::memory_order_relaxed);
            ReadIndex_.store(requeue, std::memory_order_relaxed);
            UpdatePending();
        }
        WakeCount_.fetch_add(1, std::memory_order_release);
    }
    threadEnded_.store(true);
}

std::int32_t WaveCapture::PendingBlocks() const { return PendingBlocks_.load(std::memory_order_relaxed); }

void WaveCapture::ExtractBlock(SampleArray& block) {
    if (!headers_) return;  // never opened: there is no block to take
    const std::int32_t read = ReadIndex_.load(std::memory_order_relaxed);
    const std::int16_t* data = headers_[static_cast<std::size_t>(read)].data;
    for (std::int32_t k = 0; k < FramesPerBlock; ++k)
        block[static_cast<std::size_t>(k)] = static_cast<double>(data[k * ChannelCount + 1]);
    ReadIndex_.store((read + 1) % RingSize, std::memory_order_relaxed);
    UpdatePending();
    ProcessedBlocks_.fetch_add(1, std::memory_order_release);
}

}  // namespace quorvel
