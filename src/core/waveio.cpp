// Audio capture: the ring of 100 buffers of 1024 stereo 16-bit frames, the
// capture thread over it, and the extraction of the second channel into the
// engine's SampleBlock. See waveio.h for the layout and the hand-back rule.
#include "waveio.h"

#include <algorithm>
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

int WaveInput::GetDevDescription(std::int32_t, std::string&) { return 1; }

bool WaveInput::Lost() { return false; }

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
    Devices_.clear();
    for (std::int32_t i = 0; i < DeviceCount_ && i < MaxListedDevices; ++i) {
        DeviceEntry entry;
        if (input_.GetDevName(i, entry.name) != 0) entry.name.clear();
        if (input_.GetDevDescription(i, entry.description) != 0) entry.description.clear();
        DeviceNames_[static_cast<std::size_t>(i)] = CutName(entry.name, DeviceNameLength);
        Devices_.push_back(std::move(entry));
    }
}

std::string WaveCapture::DeviceLabel(std::int32_t index) const {
    if (index < 0 || index >= static_cast<std::int32_t>(Devices_.size())) return {};
    const DeviceEntry& d = Devices_[static_cast<std::size_t>(index)];
    return d.description.empty() ? d.name : d.description;
}

namespace {

std::string LowerAscii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

}  // namespace

std::int32_t FindDevice(const std::vector<DeviceEntry>& devices, const std::string& query, std::string& error) {
    const auto count = static_cast<std::int32_t>(devices.size());
    if (query.empty()) {
        error = "no capture device named ''";
        return -1;
    }
    if (query.find_first_not_of("0123456789") == std::string::npos) {
        // A number as listed; a long run of digits is simply out of range.
        const std::int32_t index = query.size() > 6 ? count : std::stoi(query);
        if (index < count) return index;
        error = "no capture device " + query + " (" + std::to_string(count) + " listed)";
        return -1;
    }
    for (std::int32_t i = 0; i < count; ++i)
        if (devices[static_cast<std::size_t>(i)].name == query) return i;
    const std::string part = LowerAscii(query);
    std::vector<std::int32_t> matches;
    for (std::int32_t i = 0; i < count; ++i) {
        const std::string description = LowerAscii(devices[static_cast<std::size_t>(i)].description);
        if (description == part) return i;  // a whole description is never ambiguous
        if (description.find(part) != std::string::npos) matches.push_back(i);
    }
    if (matches.size() == 1) return matches.front();
    if (matches.empty()) {
        error = "no capture device '" + query + "' (see --list-devices)";
    } else {
        error = "'" + query + "' fits several capture devices:";
        for (std::int32_t i : matches) error += " '" + devices[static_cast<std::size_t>(i)].description + "'";
        error += "; give more of the description or the name";
    }
    return -1;
}

std::int32_t WaveCapture::DeviceCount() const { return DeviceCount_; }

const std::array<std::string, 20>& WaveCapture::DeviceNames() const { return DeviceNames_; }

void WaveCapture::SetDeviceIndex(std::int32_t index) { DeviceIndex_ = index; }

std::int32_t WaveCapture::DeviceIndex() const { return DeviceIndex_; }

bool WaveCapture::CaptureRunning() const { return CaptureRunning_.load(); }

bool WaveCapture::CaptureThreadAlive() const { return CaptureThreadAlive_.load(); }

bool WaveCapture::InputLost() { return deviceOpen_ && input_.Lost(); }

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

CaptureKeeper::Change CaptureKeeper::Check(TimePoint now) {
    if (!lost_) {
        if (!capture_.CaptureRunning() || !capture_.InputLost()) return Change::None;
        capture_.CloseCapture();
        lost_ = true;
        attempts_ = 0;
        wait_ = FirstRetry;
        next_ = now + wait_;
        return Change::Lost;
    }
    if (!capture_.CaptureRunning()) {
        if (now < next_) return Change::None;
        capture_.OpenCapture();
        ++attempts_;
        if (!capture_.CaptureRunning()) {
            // Not back yet: close what did open, and wait longer next time.
            capture_.CloseCapture();
            wait_ = std::min<std::chrono::milliseconds>(2 * wait_, LongestRetry);
            next_ = now + wait_;
            return Change::None;
        }
    }
    lost_ = false;
    return Change::Restored;
}

}  // namespace quorvel
