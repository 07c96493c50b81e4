// Live input for quorvel-decode: lists the capture devices of the PortAudio back
// end, or runs the capture ring and its thread on one of them, printing what the
// decoders find until the user interrupts. The main thread does what the window's
// text timer does: every 33 ms it takes the published text and writes it.
#include "decode_live.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <thread>

#include "core/waveio.h"

#if QUORVEL_HAVE_AUDIO
#include "audio/portaudio_input.h"
#endif

namespace quorvel::tools {

#if QUORVEL_HAVE_AUDIO

namespace {

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void RequestStop(int) { stopRequested.store(true); }

void InstallStopHandlers() {
    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int ListLiveDevices() {
    auto input = CreatePortAudioInput();
    SystemClock clock;
    Engine engine(clock);
    WaveCapture capture(*input, engine);
    capture.EnumerateDevices();
    const std::int32_t listed = std::min(capture.DeviceCount(), MaxListedDevices);
    for (std::int32_t i = 0; i < listed; ++i)
        std::printf("%d\t%s\n", static_cast<int>(i), capture.DeviceNames()[static_cast<std::size_t>(i)].c_str());
    if (listed == 0) std::fprintf(stderr, "quorvel-decode: no capture device found\n");
    std::fflush(stdout);
    return 0;
}

int DecodeLive(Engine& engine, int device, const std::function<void(const std::string&)>& write, bool stats) {
    auto input = CreatePortAudioInput();
    WaveCapture capture(*input, engine);
    capture.EnumerateDevices();
    const std::int32_t listed = std::min(capture.DeviceCount(), MaxListedDevices);
    if (device < 0 || device >= listed) {
        std::cerr << "quorvel-decode: no capture device " << device << " (" << listed
                  << " listed; see --list-devices)\n";
        return 2;
    }
    stopRequested.store(false);
    InstallStopHandlers();
    capture.SetDeviceIndex(device);
    capture.OpenCapture();
    const std::string& name = capture.DeviceNames()[static_cast<std::size_t>(device)];
    if (!capture.CaptureRunning()) {
        // The window stays silent about this; a command line says why it ends.
        capture.CloseCapture();
        std::cerr << "quorvel-decode: capture device " << device << " (" << name << ") could not be opened\n";
        return 1;
    }
    std::cerr << "quorvel-decode: capturing from device " << device << " (" << name
              << "); interrupt (Ctrl-C) to end\n";

    std::string text;
    while (!stopRequested.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(33));
        if (engine.ctx.TakeText(text)) write(text);
    }
    capture.CloseCapture();  // the capture thread ends before the device closes
    if (engine.ctx.TakeText(text)) write(text);
    // What the decoders still had under way, finished as after a transmission.
    engine.FinishInput([&] {
        if (engine.ctx.TakeText(text)) write(text);
    });
    if (stats) {
        const auto& s = engine.ctx.stats;
        std::printf("blocks: %llu\ndropped: %llu\nDcOffset: %.3f\nAcLevel: %.3f\nDcMagnitude: %.3f\nClipHold: %.5f\n",
                    static_cast<unsigned long long>(capture.ProcessedBlocks()),
                    static_cast<unsigned long long>(capture.DroppedBlocks()), s.DcOffset.load(), s.AcLevel.load(),
                    s.DcMagnitude.load(), s.ClipHold.load());
        std::fflush(stdout);
    }
    return 0;
}

#else

int ListLiveDevices() {
    std::cerr << "quorvel-decode: this build has no live input\n";
    return 3;
}

int DecodeLive(Engine&, int, const std::function<void(const std::string&)>&, bool) { return ListLiveDevices(); }

#endif

}  // namespace quorvel::tools
