// The capture ring's sound card on a PulseAudio or PipeWire server.
//
// Devices: the server's sources, its default source first, then the other
// sources, then the monitors of its outputs (what is being played, for a
// receiver program that plays into one), numbered from 0. The name is the
// server's name of the source (it stays the same between boots), the
// description is what the sound settings show.
//
// Stream: the server delivers 11025 Hz stereo signed 16-bit frames, whatever the
// source's own format; the read callback (on the main-loop thread, under its
// lock) hands them to the CaptureConverter, which copies them into the buffers
// queued by AddBuffer and signals the event per filled buffer. The stream sticks
// to its source (a source that goes away is not replaced by another one): when
// the source or the server goes away, the stream or the connection fails and
// Lost() says so; opening again connects afresh and finds the source by name.
//
// Every wait on the server has a time limit, so a server that hangs cannot hang
// the caller, and no server is ever started by us.
#include "pulse_input.h"

#include "capture_converter.h"

#include <pulse/pulseaudio.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using quorvel::AutoResetEvent;
using quorvel::BufferBytes;
using quorvel::WaveHeader;

constexpr int kErrorNoDevice = 2;
constexpr int kErrorState = 3;
constexpr int kErrorQueueFull = 4;
constexpr int kErrorConverter = 5;
constexpr int kErrorBadHeader = 6;
constexpr int kErrorServer = 7;

constexpr auto kWaitLimit = std::chrono::seconds(3);

class Locked {
public:
    explicit Locked(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
    ~Locked() { pa_threaded_mainloop_unlock(loop_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

// A main-loop thread and a context on it, connected to the server. `failed`
// (when given) is set when the connection fails or ends afterwards.
class Connection {
public:
    Connection() = default;
    ~Connection() { Disconnect(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool Connect(std::atomic<bool>* failed) {
        failed_ = failed;
        loop_ = pa_threaded_mainloop_new();
        if (loop_ == nullptr) return false;
        pa_proplist* props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Quorvel");
        pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "production");
        context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_), "Quorvel", props);
        pa_proplist_free(props);
        if (context_ == nullptr) {
            Disconnect();
            return false;
        }
        pa_context_set_state_callback(context_, &Connection::OnState, this);
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
            pa_threaded_mainloop_start(loop_) < 0) {
            Disconnect();
            return false;
        }
        started_ = true;
        bool ready = false;
        {
            Locked guard(loop_);
            WaitLocked([this] { return !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)) ||
                                       pa_context_get_state(context_) == PA_CONTEXT_READY; });
            ready = pa_context_get_state(context_) == PA_CONTEXT_READY;
        }
        if (!ready) Disconnect();
        return ready;
    }

    // Runs `done` with the lock held until it is true or the time limit has
    // passed (the main loop runs while the lock is given up). Call with the lock.
    bool WaitLocked(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            pa_threaded_mainloop_unlock(loop_);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            pa_threaded_mainloop_lock(loop_);
        }
        return true;
    }

    // Waits for an operation to end and lets go of it. Call with the lock.
    bool Finish(pa_operation* op) {
        if (op == nullptr) return false;
        const bool done = WaitLocked([op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; });
        if (!done) pa_operation_cancel(op);
        pa_operation_unref(op);
        return done;
    }

    void Disconnect() {
        if (context_ != nullptr) {
            if (started_) pa_threaded_mainloop_lock(loop_);
            pa_context_set_state_callback(context_, nullptr, nullptr);
            pa_context_disconnect(context_);
            pa_context_unref(context_);
            context_ = nullptr;
            if (started_) pa_threaded_mainloop_unlock(loop_);
        }
        if (loop_ != nullptr) {
            if (started_) pa_threaded_mainloop_stop(loop_);
            pa_threaded_mainloop_free(loop_);
            loop_ = nullptr;
        }
        started_ = false;
    }

    pa_threaded_mainloop* loop() const { return loop_; }
    pa_context* context() const { return context_; }

private:
    static void OnState(pa_context* context, void* user) {
        auto* self = static_cast<Connection*>(user);
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) && self->failed_ != nullptr) self->failed_->store(true);
    }

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    bool started_ = false;
    std::atomic<bool>* failed_ = nullptr;
};

struct Source {
    std::string name;
    std::string description;
    bool monitor = false;
};

// The server's sources: the default one, the others, the monitors.
std::vector<Source> ListSources() {
    Connection connection;
    if (!connection.Connect(nullptr)) return {};
    std::string preferred;
    std::vector<Source> found;
    {
        Locked guard(connection.loop());
        connection.Finish(pa_context_get_server_info(
            connection.context(),
            [](pa_context*, const pa_server_info* info, void* user) {
                if (info != nullptr && info->default_source_name != nullptr)
                    *static_cast<std::string*>(user) = info->default_source_name;
            },
            &preferred));
        connection.Finish(pa_context_get_source_info_list(
            connection.context(),
            [](pa_context*, const pa_source_info* info, int eol, void* user) {
                if (eol != 0 || info == nullptr || info->name == nullptr) return;
                static_cast<std::vector<Source>*>(user)->push_back(
                    Source{info->name, info->description != nullptr ? info->description : "",
                           info->monitor_of_sink != PA_INVALID_INDEX});
            },
            &found));
    }
    std::vector<Source> ordered;
    for (const Source& s : found)
        if (s.name == preferred) ordered.push_back(s);
    for (int monitors = 0; monitors < 2; ++monitors)
        for (const Source& s : found)
            if (s.name != preferred && s.monitor == (monitors == 1)) ordered.push_back(s);
    return ordered;
}

class PulseInput final : public quorvel::WaveInput, private quorvel::FilledBufferListener {
public:
    PulseInput() = default;
    ~PulseInput() override { Close(); }

    std::int32_t GetNumDevs() override {
        if (connection_ == nullptr) sources_ = ListSources();
        return static_cast<std::int32_t>(sources_.size());
    }

    int GetDevName(std::int32_t device, std::string& name) override {
        if (device < 0 || device >= static_cast<std::int32_t>(sources_.size())) return kErrorNoDevice;
        name = sources_[static_cast<std::size_t>(device)].name;
        return 0;
    }

    int GetDevDescription(std::int32_t device, std::string& description) override {
        if (device < 0 || device >= static_cast<std::int32_t>(sources_.size())) return kErrorNoDevice;
        description = sources_[static_cast<std::size_t>(device)].description;
        return description.empty() ? kErrorNoDevice : 0;
    }

    int Open(std::int32_t device, AutoResetEvent& event) override {
        if (connection_ != nullptr) return kErrorState;
        if (device < 0 || device >= static_cast<std::int32_t>(sources_.size())) return kErrorNoDevice;
        const std::string name = sources_[static_cast<std::size_t>(device)].name;
        lost_.store(false);
        running_.store(false);
        quorvel::FilledBufferListener* listener = this;
        converter_ = std::make_unique<quorvel::CaptureConverter>(
            quorvel::DefaultSampleRate, quorvel::ChannelCount, quorvel::CaptureSampleFormat::Int16, listener);
        if (!converter_->Ready()) {
            converter_.reset();
            return kErrorConverter;
        }
        event_ = &event;
        connection_ = std::make_unique<Connection>();
        if (!connection_->Connect(&lost_)) {
            Release();
            return kErrorServer;
        }
        bool ready = false;
        {
            Locked guard(connection_->loop());
            const pa_sample_spec format{PA_SAMPLE_S16LE, static_cast<std::uint32_t>(quorvel::DefaultSampleRate),
                                      static_cast<std::uint8_t>(quorvel::ChannelCount)};
            pa_channel_map map;
            pa_channel_map_init_stereo(&map);
            stream_ = pa_stream_new(connection_->context(), "Quorvel capture", &format, &map);
            if (stream_ != nullptr) {
                pa_stream_set_state_callback(stream_, &PulseInput::OnStreamState, this);
                pa_stream_set_read_callback(stream_, &PulseInput::OnRead, this);
                // One capture buffer per fragment: 1024 frames, 92.9 ms.
                pa_buffer_attr attr;
                attr.maxlength = static_cast<std::uint32_t>(-1);
                attr.tlength = static_cast<std::uint32_t>(-1);
                attr.prebuf = static_cast<std::uint32_t>(-1);
                attr.minreq = static_cast<std::uint32_t>(-1);
                attr.fragsize = static_cast<std::uint32_t>(BufferBytes);
                const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
                if (pa_stream_connect_record(stream_, name.c_str(), &attr, flags) == 0) {
                    connection_->WaitLocked([this] {
                        const pa_stream_state_t s = pa_stream_get_state(stream_);
                        return s == PA_STREAM_READY || !PA_STREAM_IS_GOOD(s);
                    });
                    ready = pa_stream_get_state(stream_) == PA_STREAM_READY;
                }
            }
        }
        if (!ready) {
            Release();
            return kErrorNoDevice;
        }
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
        Locked guard(connection_->loop());
        running_.store(true);
        return lost_.load() ? kErrorServer : 0;
    }

    int Stop() override {
        if (stream_ == nullptr) return kErrorState;
        Locked guard(connection_->loop());
        running_.store(false);
        return 0;
    }

    // The read callback runs under the main loop's lock: holding it, nothing is
    // received while the converter forgets its buffers.
    int Reset() override {
        if (stream_ == nullptr) return kErrorState;
        Locked guard(connection_->loop());
        running_.store(false);
        converter_->Clear();
        return 0;
    }

    int Close() override {
        if (connection_ == nullptr) return kErrorState;
        AutoResetEvent* event = event_;
        Release();
        if (event != nullptr) event->Signal();
        return 0;
    }

    bool Lost() override { return connection_ != nullptr && lost_.load(); }

private:
    // Ends the stream and the connection (the main-loop thread with them).
    void Release() {
        if (connection_ != nullptr && stream_ != nullptr) {
            Locked guard(connection_->loop());
            pa_stream_set_state_callback(stream_, nullptr, nullptr);
            pa_stream_set_read_callback(stream_, nullptr, nullptr);
            pa_stream_disconnect(stream_);
            pa_stream_unref(stream_);
            stream_ = nullptr;
            running_.store(false);
        }
        connection_.reset();
        converter_.reset();
        event_ = nullptr;
    }

    static void OnStreamState(pa_stream* stream, void* user) {
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) static_cast<PulseInput*>(user)->lost_.store(true);
    }

    static void OnRead(pa_stream* stream, std::size_t, void* user) {
        auto* self = static_cast<PulseInput*>(user);
        while (pa_stream_readable_size(stream) > 0) {
            const void* data = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
            // A hole (no data) is dropped: the frames around it follow each other.
            if (data != nullptr && self->running_.load())
                self->converter_->Receive(data, bytes / (quorvel::ChannelCount * sizeof(std::int16_t)));
            pa_stream_drop(stream);
        }
    }

    void BufferFilled(WaveHeader&) override {
        if (event_ != nullptr) event_->Signal();
    }

    std::vector<Source> sources_;
    std::unique_ptr<Connection> connection_;
    pa_stream* stream_ = nullptr;
    std::unique_ptr<quorvel::CaptureConverter> converter_;
    AutoResetEvent* event_ = nullptr;
    std::atomic<bool> running_{false};
    std::atomic<bool> lost_{false};
};

}  // namespace

bool PulseServerRunning() {
    Connection connection;
    return connection.Connect(nullptr);
}

std::unique_ptr<quorvel::WaveInput> CreatePulseInput() { return std::make_unique<PulseInput>(); }
