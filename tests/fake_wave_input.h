// A simulated sound card for the capture ring: devices with names, operations
// that can be made to fail, and buffers that are filled only when the test says
// so. Buffers are filled in the order they were queued, each marked done, and the
// event is signalled per buffer or once for a batch, as the test chooses.
//
// The second channel of buffer number n (counting every buffer filled since the
// device object was made, from 0) holds SecondChannelValue(n, frame) unless
// `secondChannel` is replaced; the first channel holds its negation, so a reader
// that takes the wrong channel is caught.
//
// Self-contained: needs only the capture interface of the core.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/waveio.h"

namespace quorvel::testing {

class FakeWaveInput final : public WaveInput {
public:
    static constexpr int kError = 1;

    explicit FakeWaveInput(std::vector<std::string> deviceNames = {"Fake input"},
                           std::vector<std::string> descriptions = {})
        : names_(std::move(deviceNames)), descriptions_(std::move(descriptions)) {}

    static std::int16_t SecondChannelValue(std::uint64_t buffer, std::int32_t frame) {
        return static_cast<std::int16_t>(static_cast<std::int32_t>(buffer % 300) * 100 + frame % 100);
    }

    // --- what the test arranges ------------------------------------------
    // Devices whose name cannot be read.
    std::vector<std::int32_t> unreadableNames;
    // Failures: Open, Start, or the n-th PrepareHeader / AddBuffer of an open
    // (counted from 0 at each Open; -1 = never).
    bool failOpen = false;
    bool failStart = false;
    int failPrepareAt = -1;
    int failAddAt = -1;
    // Fill queued buffers even before Start (to show that a capture whose open
    // failed processes nothing, whatever arrives).
    bool fillWhileStopped = false;
    // Sample of the second channel for (buffer number, frame).
    std::function<std::int16_t(std::uint64_t, std::int32_t)> secondChannel = SecondChannelValue;

    // Fill up to `count` queued buffers in queue order and mark each done; signal
    // after each buffer, or once after all of them. Returns how many were filled
    // (fewer when fewer are queued, none while not recording).
    int Fill(int count, bool signalEach = true) {
        int filled = 0;
        for (; filled < count; ++filled) {
            WaveHeader* h = nullptr;
            AutoResetEvent* event = nullptr;
            std::uint64_t number = 0;
            {
                std::lock_guard<std::mutex> guard(lock_);
                if ((!recording_ && !fillWhileStopped) || !open_ || gone_ || queue_.empty()) break;
                h = queue_.front();
                queue_.pop_front();
                event = event_;
                number = filledCount_++;
            }
            for (std::int32_t k = 0; k < FramesPerBlock; ++k) {
                const std::int16_t v = secondChannel(number, k);
                h->data[k * ChannelCount] = static_cast<std::int16_t>(-v);
                h->data[k * ChannelCount + 1] = v;
            }
            h->bytesRecorded = h->bufferLength;
            h->flags.fetch_or(WHDR_DONE, std::memory_order_release);
            if (signalEach && event != nullptr) event->Signal();
        }
        if (!signalEach && filled > 0) SignalEvent();
        return filled;
    }

    // Signal the event without filling anything (a spurious wake).
    void Wake() { SignalEvent(); }

    // The device goes away (unplugged): nothing more is filled, an open device
    // reports itself lost, and every later operation but Stop, Reset and Close
    // fails, until it comes back.
    void Disappear() {
        std::lock_guard<std::mutex> guard(lock_);
        gone_ = true;
    }
    void Reappear() {
        std::lock_guard<std::mutex> guard(lock_);
        gone_ = false;
    }

    // --- what the test observes --------------------------------------------
    std::vector<std::string> Calls() const {
        std::lock_guard<std::mutex> guard(lock_);
        return calls_;
    }
    std::size_t Queued() const {
        std::lock_guard<std::mutex> guard(lock_);
        return queue_.size();
    }
    bool IsOpen() const {
        std::lock_guard<std::mutex> guard(lock_);
        return open_;
    }
    // Buffers handed back while no device was open (must never happen).
    int AddsWhileClosed() const {
        std::lock_guard<std::mutex> guard(lock_);
        return addsWhileClosed_;
    }
    std::uint64_t FilledCount() const {
        std::lock_guard<std::mutex> guard(lock_);
        return filledCount_;
    }

    // --- the wave-input operations ------------------------------------------
    std::int32_t GetNumDevs() override { return static_cast<std::int32_t>(names_.size()); }

    int GetDevName(std::int32_t device, std::string& name) override {
        if (device < 0 || device >= GetNumDevs()) return kError;
        for (std::int32_t d : unreadableNames)
            if (d == device) return kError;
        name = names_[static_cast<std::size_t>(device)];
        return 0;
    }

    // A description for devices that have a non-empty one in the list given.
    int GetDevDescription(std::int32_t device, std::string& description) override {
        if (device < 0 || device >= static_cast<std::int32_t>(descriptions_.size()) ||
            descriptions_[static_cast<std::size_t>(device)].empty())
            return kError;
        description = descriptions_[static_cast<std::size_t>(device)];
        return 0;
    }

    bool Lost() override {
        std::lock_guard<std::mutex> guard(lock_);
        return open_ && gone_;
    }

    int Open(std::int32_t device, AutoResetEvent& event) override {
        {
            std::lock_guard<std::mutex> guard(lock_);
            calls_.push_back("open " + std::to_string(device));
            if (open_ || failOpen || gone_ || device < 0 || device >= static_cast<std::int32_t>(names_.size()))
                return kError;
            open_ = true;
            event_ = &event;
            prepared_ = 0;
            added_ = 0;
            queue_.clear();
        }
        event.Signal();  // the platform signals on open, as on close
        return 0;
    }

    int PrepareHeader(WaveHeader& header) override {
        std::lock_guard<std::mutex> guard(lock_);
        if (!open_ || gone_ || prepared_++ == failPrepareAt) return kError;
        if (header.data == nullptr || header.bufferLength != BufferBytes) return kError;
        return 0;
    }

    int AddBuffer(WaveHeader& header) override {
        std::lock_guard<std::mutex> guard(lock_);
        if (!open_) {
            ++addsWhileClosed_;
            return kError;
        }
        if (gone_ || added_++ == failAddAt) return kError;
        header.flags.fetch_and(~WHDR_DONE, std::memory_order_relaxed);
        queue_.push_back(&header);
        return 0;
    }

    int Start() override {
        std::lock_guard<std::mutex> guard(lock_);
        calls_.push_back("start");
        if (!open_ || gone_ || failStart) return kError;
        recording_ = true;
        return 0;
    }
    int Stop() override {
        std::lock_guard<std::mutex> guard(lock_);
        calls_.push_back("stop");
        recording_ = false;
        return open_ ? 0 : kError;
    }
    int Reset() override {
        std::lock_guard<std::mutex> guard(lock_);
        calls_.push_back("reset");
        recording_ = false;
        queue_.clear();
        return open_ ? 0 : kError;
    }
    int Close() override {
        AutoResetEvent* event = nullptr;
        {
            std::lock_guard<std::mutex> guard(lock_);
            calls_.push_back("close");
            if (!open_) return kError;
            open_ = false;
            recording_ = false;
            event = event_;
            event_ = nullptr;
        }
        event->Signal();
        return 0;
    }

private:
    void SignalEvent() {
        AutoResetEvent* event = nullptr;
        {
            std::lock_guard<std::mutex> guard(lock_);
            event = event_;
        }
        if (event != nullptr) event->Signal();
    }

    std::vector<std::string> names_;
    std::vector<std::string> descriptions_;
    mutable std::mutex lock_;
    std::vector<std::string> calls_;
    std::deque<WaveHeader*> queue_;
    AutoResetEvent* event_ = nullptr;
    bool open_ = false;
    bool recording_ = false;
    bool gone_ = false;
    int prepared_ = 0;
    int added_ = 0;
    int addsWhileClosed_ = 0;
    std::uint64_t filledCount_ = 0;
};

}  // namespace quorvel::testing
