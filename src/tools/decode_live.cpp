// Live input for quorvel-decode: lists the capture devices of the sound back end
// (the sound server's sources, else PortAudio's devices), or runs the capture
// ring and its thread on one of them, printing what the decoders find until the
// user interrupts or the output is closed. The main thread does what the
// window's text timer does: every 33 ms it takes the published text and writes
// it; it also watches standard output and keeps the capture going when the
// device goes away and comes back.
#include "decode_live.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <cstring>
#include <iostream>
#include <thread>

#include "core/waveio.h"
#include "stop_request.h"

#if QUORVEL_HAVE_AUDIO
#include "audio/sound_input.h"
#endif

namespace quorvel::tools {

#if QUORVEL_HAVE_AUDIO

namespace {

// SIGINT and SIGTERM are those of stop_request.h, installed by main.
void IgnoreSigpipe() {
    // A closed output shows as a failed write (EPIPE), which ends the run in
    // order; the signal would end it at once, and libraries of the sound back end
    // may leave it blocked anyway.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

// Standard output can no longer be written: a write failed, or it is a pipe or
// socket whose reader has gone (seen before anything more is written).
bool OutputClosed() {
    if (std::ferror(stdout) != 0) return true;
    pollfd out{STDOUT_FILENO, 0, 0};
    return poll(&out, 1, 0) == 1 && (out.revents & (POLLERR | POLLHUP)) != 0;
}

std::string Describe(const WaveCapture& capture, std::int32_t device) {
    const DeviceEntry& d = capture.Devices()[static_cast<std::size_t>(device)];
    std::string text = "device " + std::to_string(device) + " (" + d.name;
    if (!d.description.empty() && d.description != d.name) text += ", " + d.description;
    return text + ")";
}

}  // namespace

int ListLiveDevices() {
    auto input = CreateSoundInput();
    SystemClock clock;
    Engine engine(clock);
    WaveCapture capture(*input, engine);
    capture.EnumerateDevices();
    const auto& devices = capture.Devices();
    for (std::size_t i = 0; i < devices.size(); ++i)
        std::printf("%d\t%s\t%s\n", static_cast<int>(i), devices[i].name.c_str(),
                    capture.DeviceLabel(static_cast<std::int32_t>(i)).c_str());
    if (devices.empty()) std::fprintf(stderr, "quorvel-decode: no capture device found\n");
    std::fflush(stdout);
    return 0;
}

int DecodeLive(Engine& engine, const std::string& device, const std::function<void(const std::string&)>& write,
               bool stats, const char* program) {
    auto input = CreateSoundInput();
    WaveCapture capture(*input, engine);
    capture.EnumerateDevices();
    std::string why;
    const std::int32_t index = FindDevice(capture.Devices(), device, why);
    if (index < 0) {
        std::cerr << program << ": " << why << "\n";
        return 2;
    }
    IgnoreSigpipe();
    capture.SetDeviceIndex(index);
    capture.OpenCapture();
    const std::string name = Describe(capture, index);
    if (!capture.CaptureRunning()) {
        // The window stays silent about this; a command line says why it ends.
        capture.CloseCapture();
        std::cerr << program << ": capture " << name << " could not be opened\n";
        return 1;
    }
    std::cerr << program << ": capturing from " << name << "; interrupt (Ctrl-C) to end\n";

    CaptureKeeper keeper(capture);
    std::string text;
    bool outputLost = false;
    auto take = [&] {
        if (outputLost || !engine.ctx.TakeText(text)) return;
        write(text);
        outputLost = OutputClosed();
    };
    while (!StopRequested() && !outputLost) {
        std::this_thread::sleep_for(std::chrono::milliseconds(33));
        take();
        if (!outputLost) outputLost = OutputClosed();
        switch (keeper.Check(std::chrono::steady_clock::now())) {
            case CaptureKeeper::Change::Lost:
                std::cerr << program << ": capture " << name << " went away; opening it again when it is back\n";
                break;
            case CaptureKeeper::Change::Restored:
                std::cerr << program << ": capturing again from " << name << "\n";
                break;
            case CaptureKeeper::Change::None:
                break;
        }
    }
    capture.CloseCapture();  // the capture thread ends before the device closes
    if (!outputLost) {
        take();
        // What the decoders still had under way, finished as after a transmission.
        engine.FinishInput(take);
    }
    if (outputLost) {
        std::cerr << program << ": standard output was closed; capture ended\n";
        return 1;
    }
    if (stats) {
        const auto& s = engine.ctx.stats;
        std::fprintf(stderr, "blocks: %llu\ndropped: %llu\nDcOffset: %.3f\nAcLevel: %.3f\nDcMagnitude: %.3f\nClipHold: %.5f\n",
                     static_cast<unsigned long long>(capture.ProcessedBlocks()),
                     static_cast<unsigned long long>(capture.DroppedBlocks()), s.DcOffset.load(), s.AcLevel.load(),
                     s.DcMagnitude.load(), s.ClipHold.load());
        std::string counts;  // the capture has ended: the decoders are ours to read
        engine.decoders.AppendStats(engine.ctx.settings, counts);
        std::fputs(counts.c_str(), stderr);
    }
    return 0;
}

#else

int ListLiveDevices() {
    std::cerr << "quorvel-decode: this build has no live input\n";
    return 3;
}

int DecodeLive(Engine&, const std::string&, const std::function<void(const std::string&)>&, bool, const char*) {
    return ListLiveDevices();
}

#endif

}  // namespace quorvel::tools
