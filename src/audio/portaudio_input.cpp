// The capture ring's sound card on PortAudio.
//
// Devices: every PortAudio device with at least one input channel, the default
// input first, then the others in PortAudio's order, numbered from 0.
//
// Stream: 16-bit samples. A device that captures 11025 Hz stereo is opened so;
// otherwise it is opened at 11025 Hz mono, or else at its own default rate with
// one or two channels, and converted: a mono input is copied to both channels,
// and a different rate goes through libsoxr to 11025 Hz (CaptureConverter). The
// PortAudio callback hands the frames to the converter, which writes them into the
// buffers queued by AddBuffer, strictly in queue order, and marks each full buffer
// WHDR_DONE; the event is signalled once per buffer. The converter and all its
// scratch space exist from Open on; the callback allocates nothing.
//
// A device that goes away while capturing simply stops calling back, so no more
// buffers are marked done: Lost() says so once a started stream has not called
// back for kSilentLimit, or has ended by itself. Each Open starts PortAudio
// afresh and looks the device up again by name, so opening a device again after
// it came back retries it.
#include "portaudio_input.h"

#include "capture_converter.h"

#include <portaudio.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using quorvel::AutoResetEvent;
using quorvel::BufferBytes;
using quorvel::FramesPerBlock;
using quorvel::WaveHeader;

constexpr int kErrorNoDevice = 2;
constexpr int kErrorState = 3;
constexpr int kErrorQueueFull = 4;
constexpr int kErrorConverter = 5;
constexpr int kErrorBadHeader = 6;
constexpr int kPaErrorBase = 1000;
// A running device calls back every 93 ms or so; one that has been quiet this
// long has gone away.
constexpr auto kSilentLimit = std::chrono::seconds(3);  // PortAudio's own errors: 1000 + |PaError|

int FromPa(PaError e) { return e == paNoError ? 0 : kPaErrorBase - static_cast<int>(e); }

// Starting PortAudio probes every host API, and ALSA and JACK write their
// complaints (missing PCM aliases, no JACK server) to standard error; they are
// no errors of ours, and Pa_Initialize reports real failures by its result. So
// standard error goes to /dev/null for the length of that call.
PaError QuietInitialize() {
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved >= 0 && null >= 0) dup2(null, STDERR_FILENO);
    const PaError e = Pa_Initialize();
    if (saved >= 0 && null >= 0) {
        std::fflush(stderr);
        dup2(saved, STDERR_FILENO);
    }
    if (null >= 0) close(null);
    if (saved >= 0) close(saved);
    return e;
}

class PortAudioInput final : public quorvel::WaveInput, private quorvel::FilledBufferListener {
public:
    PortAudioInput() = default;
    ~PortAudioInput() override {
        Close();
        if (initialized_) Pa_Terminate();
    }

    std::int32_t GetNumDevs() override {
        if (stream_ == nullptr) Restart();
        return static_cast<std::int32_t>(devices_.size());
    }

    int GetDevName(std::int32_t device, std::string& name) override {
        if (device < 0 || device >= static_cast<std::int32_t>(devices_.size())) return kErrorNoDevice;
        name = devices_[static_cast<std::size_t>(device)].name;
        return 0;
    }

    int Open(std::int32_t device, AutoResetEvent& event) override {
        if (stream_ != nullptr) return kErrorState;
        if (device < 0 || device >= static_cast<std::int32_t>(devices_.size())) return kErrorNoDevice;
        const Listed wanted = devices_[static_cast<std::size_t>(device)];
        // Start PortAudio afresh, so that a device that went away and came back
        // is found again; keep the numbering the caller knows.
        const std::vector<Listed> known = devices_;
        if (!fresh_) Restart();
        fresh_ = false;
        PaDeviceIndex index = paNoDevice;
        for (const Listed& d : devices_)
            if (d.name == wanted.name && d.hostApi == wanted.hostApi) {
                index = d.index;
                break;
            }
        devices_ = known;
        if (index == paNoDevice) return kErrorNoDevice;
        const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
        if (info == nullptr || info->maxInputChannels < 1) return kErrorNoDevice;

        PaStreamParameters params{};
        params.device = index;
        params.sampleFormat = paInt16;
        params.suggestedLatency = info->defaultHighInputLatency;
        params.hostApiSpecificStreamInfo = nullptr;
        // What the device can do: 11025 Hz stereo, 11025 Hz mono, or its own
        // rate with as many of the two channels as it has.
        const int most = std::min(info->maxInputChannels, 2);
        struct Try {
            double rate;
            int channels;
        };
        const Try tries[] = {{quorvel::DefaultSampleRate, 2}, {quorvel::DefaultSampleRate, 1},
                             {info->defaultSampleRate, most}, {info->defaultSampleRate, 1}};
        bool found = false;
        for (const Try& t : tries) {
            if (t.channels > info->maxInputChannels || t.rate <= 0.0) continue;
            params.channelCount = t.channels;
            if (Pa_IsFormatSupported(&params, nullptr, t.rate) == paFormatIsSupported) {
                rate_ = t.rate;
                channels_ = t.channels;
                found = true;
                break;
            }
        }
        if (!found) return kErrorNoDevice;
        params.channelCount = channels_;

        quorvel::FilledBufferListener* listener = this;
        converter_ =
            std::make_unique<quorvel::CaptureConverter>(rate_, channels_, quorvel::CaptureSampleFormat::Int16, listener);
        if (!converter_->Ready()) {
            converter_.reset();
            return kErrorConverter;
        }
        // One buffer's worth of frames per callback at the device's own rate.
        const unsigned long framesPerCallback = static_cast<unsigned long>(
            std::max(64.0, FramesPerBlock * rate_ / quorvel::DefaultSampleRate + 0.5));
        event_ = &event;
        PaStream* stream = nullptr;
        const PaError e =
            Pa_OpenStream(&stream, &params, nullptr, rate_, framesPerCallback, paClipOff, &PortAudioInput::Callback, this);
        if (e != paNoError) {
            converter_.reset();
            event_ = nullptr;
            return FromPa(e);
        }
        stream_ = stream;
        event.Signal();  // the platform signals on open, as on close
        return 0;
    }

    int PrepareHeader(WaveHeader& h) override {
        if (stream_ == nullptr) return kErrorState;
        if (h.data == nullptr || h.bufferLength != BufferBytes) return kErrorBadHeader;
        return 0;
    }

    int AddBuffer(WaveHeader& h) override {
        if (stream_ == nullptr) return kErrorState;
        if (h.data == nullptr || h.bufferLength != BufferBytes) return kErrorBadHeader;
        return converter_->Queue(h) ? 0 : kErrorQueueFull;
    }

    int Start() override {
        if (stream_ == nullptr) return kErrorState;
        const int result = FromPa(Pa_StartStream(stream_));
        started_ = result == 0;
        seenCallbacks_ = callbacks_.load(std::memory_order_relaxed);
        seenAt_ = std::chrono::steady_clock::now();
        return result;
    }

    bool Lost() override {
        if (stream_ == nullptr || !started_) return false;
        if (Pa_IsStreamActive(stream_) == 0) return true;  // ended by an error
        const std::uint64_t calls = callbacks_.load(std::memory_order_relaxed);
        const auto now = std::chrono::steady_clock::now();
        if (calls != seenCallbacks_) {
            seenCallbacks_ = calls;
            seenAt_ = now;
            return false;
        }
        return now - seenAt_ > kSilentLimit;
    }

    // An input stream has nothing to drain: stopping aborts at once, which also
    // returns at once from a device that has gone away.
    int Stop() override {
        if (stream_ == nullptr) return kErrorState;
        started_ = false;
        if (Pa_IsStreamStopped(stream_) == 1) return 0;
        return FromPa(Pa_AbortStream(stream_));
    }

    int Reset() override {
        if (stream_ == nullptr) return kErrorState;
        const int result = Stop();
        converter_->Clear();
        return result;
    }

    int Close() override {
        if (stream_ == nullptr) return kErrorState;
        Stop();
        const PaError e = Pa_CloseStream(stream_);
        stream_ = nullptr;
        converter_.reset();
        AutoResetEvent* event = event_;
        event_ = nullptr;
        if (event != nullptr) event->Signal();
        return FromPa(e);
    }

private:
    struct Listed {
        PaDeviceIndex index;
        PaHostApiIndex hostApi;
        std::string name;
    };

    // (Re)start PortAudio and list the input devices: the default input first.
    void Restart() {
        if (initialized_) Pa_Terminate();
        initialized_ = QuietInitialize() == paNoError;
        fresh_ = true;
        devices_.clear();
        if (!initialized_) return;
        const PaDeviceIndex count = Pa_GetDeviceCount();
        const PaDeviceIndex preferred = Pa_GetDefaultInputDevice();
        auto add = [this](PaDeviceIndex i) {
            const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
            if (info == nullptr || info->maxInputChannels < 1) return;
            devices_.push_back(Listed{i, info->hostApi, info->name != nullptr ? info->name : ""});
        };
        if (preferred >= 0 && preferred < count) add(preferred);
        for (PaDeviceIndex i = 0; i < count; ++i)
            if (i != preferred) add(i);
    }

    static int Callback(const void* input, void*, unsigned long frames, const PaStreamCallbackTimeInfo*,
                        PaStreamCallbackFlags, void* user) {
        auto* self = static_cast<PortAudioInput*>(user);
        self->callbacks_.fetch_add(1, std::memory_order_relaxed);
        if (input != nullptr) self->converter_->Receive(input, frames);
        return paContinue;
    }

    // One signal per buffer the converter has filled.
    void BufferFilled(WaveHeader&) override {
        if (event_ != nullptr) event_->Signal();
    }

    bool initialized_ = false;
    bool fresh_ = false;  // the list was made since the last Open
    std::vector<Listed> devices_;
    PaStream* stream_ = nullptr;
    AutoResetEvent* event_ = nullptr;
    double rate_ = quorvel::DefaultSampleRate;
    int channels_ = 2;
    // Callbacks so far, and what Lost() saw of them last and when.
    std::atomic<std::uint64_t> callbacks_{0};
    bool started_ = false;
    std::uint64_t seenCallbacks_ = 0;
    std::chrono::steady_clock::time_point seenAt_{};
    // From Open to Close: the device's frames to the queued buffers.
    std::unique_ptr<quorvel::CaptureConverter> converter_;
};

}  // namespace

std::unique_ptr<quorvel::WaveInput> CreatePortAudioInput() { return std::make_unique<PortAudioInput>(); }
