// Live capture as on a user's desktop: a PulseAudio daemon of the test's own
// (a null sink, its monitor as the default source, a socket in a temporary
// folder), the ALSA "pulse" plugin as the default device, the PortAudio back end
// and the capture thread on top. Generated signals are played into the sink and
// what the capture thread makes of the monitor is checked: the level statistics
// follow the played level, a five-tone call is decoded, and a server that dies
// while capturing stops the blocks without hanging, and a reopen after it came
// back captures again. The daemon is ended by its process id.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "audio/portaudio_input.h"
#include "core/waveio.h"
#include "test_support.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

bool OnPath(const std::string& program) {
    return testing::RunCommand("command -v " + program + " >/dev/null").status == 0;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

class SoundServer : public ::testing::Test {
protected:
    void SetUp() override {
        if (!OnPath("pulseaudio")) GTEST_SKIP() << "pulseaudio is not installed (scripts/setup.sh installs it)";
        char pattern[] = "/tmp/quorvel-pulse-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        fs::create_directories(dir_ / "runtime");
        chmod((dir_ / "runtime").c_str(), 0700);
        socket_ = (dir_ / "native").string();
        std::ofstream(dir_ / "server.pa") << "load-module module-native-protocol-unix socket=" << socket_
                                          << " auth-anonymous=1\n"
                                             "load-module module-null-sink sink_name=quorvel_sink\n"
                                             "set-default-sink quorvel_sink\n"
                                             "set-default-source quorvel_sink.monitor\n";
        // ALSA reads ~/.asoundrc: its default device goes through the server.
        std::ofstream(dir_ / ".asoundrc") << "pcm.!default { type pulse }\nctl.!default { type pulse }\n";
        setenv("HOME", dir_.c_str(), 1);
        setenv("PULSE_SERVER", ("unix:" + socket_).c_str(), 1);
        setenv("PULSE_RUNTIME_PATH", (dir_ / "runtime").c_str(), 1);
        setenv("PULSE_STATE_PATH", (dir_ / "runtime").c_str(), 1);
        ASSERT_TRUE(StartServer());

        const std::string gen = QUORVEL_GEN_PATH;
        const std::string common = " --channels 2 --signal-channel 2 --rate 11025";
        ASSERT_EQ(Run(gen + " sine -o " + File("quiet.wav") + common + " --frequency 1000 --seconds 1 --level 3000"), 0);
        ASSERT_EQ(Run(gen + " sine -o " + File("loud.wav") + common + " --frequency 1000 --seconds 1 --level 15000"), 0);
        ASSERT_EQ(Run(gen + " tones -o " + File("call.wav") + common +
                      " --level 12000 -s 12345 --lead 0.3 --tail 0.5"),
                  0);
    }

    void TearDown() override {
        capture_.reset();
        input_.reset();
        StopServer();
        if (!dir_.empty()) {
            std::error_code ignored;
            fs::remove_all(dir_, ignored);
        }
    }

    bool StartServer() {
        const std::string config = (dir_ / "server.pa").string();
        const std::string log = "file:" + (dir_ / "server.log").string();
        server_ = fork();
        if (server_ == 0) {
            execlp("pulseaudio", "pulseaudio", "-n", "-F", config.c_str(), "--system=false", "--daemonize=no",
                   "--exit-idle-time=-1", "--disallow-exit", "--use-pid-file=no", "--realtime=no",
                   "--high-priority=no", ("--log-target=" + log).c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        if (server_ < 0) return false;
        return WaitUntil([] { return testing::RunCommand("pactl info >/dev/null").status == 0; },
                         std::chrono::seconds(10));
    }

    // End the daemon this test started, by its process id.
    void StopServer(int signal = SIGTERM) {
        if (server_ <= 0) return;
        kill(server_, signal);
        int status = 0;
        waitpid(server_, &status, 0);
        server_ = -1;
        std::error_code ignored;
        fs::remove(socket_, ignored);
    }

    std::string File(const std::string& name) const { return (dir_ / name).string(); }
    static int Run(const std::string& command) {
        const auto r = testing::RunCommand(command);
        if (r.status != 0) ADD_FAILURE() << command << ":\n" << r.err;
        return r.status;
    }
    // Play a file into the sink; returns the highest AcLevel seen while it
    // played and for half a second after (the capture runs a little behind).
    double Play(const std::string& name) {
        std::atomic<bool> done{false};
        int status = -1;
        std::thread player([&] {
            status = Run("paplay --device=quorvel_sink " + File(name));
            done.store(true);
        });
        double peak = 0.0;
        auto sample = [&] {
            peak = std::max(peak, Level());
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        };
        while (!done.load()) sample();
        for (const auto end = Clock::now() + std::chrono::milliseconds(500); Clock::now() < end;) sample();
        player.join();
        EXPECT_EQ(status, 0);
        return peak;
    }

    // Open the capture on the ALSA default device, as a user would choose it.
    void OpenDefault() {
        input_ = CreatePortAudioInput();
        capture_ = std::make_unique<WaveCapture>(*input_, engine_);
        capture_->EnumerateDevices();
        std::int32_t index = -1;
        for (std::int32_t i = 0; i < std::min(capture_->DeviceCount(), MaxListedDevices); ++i)
            if (capture_->DeviceNames()[static_cast<std::size_t>(i)] == "default") index = i;
        ASSERT_GE(index, 0) << "no ALSA default device listed";
        capture_->SetDeviceIndex(index);
        capture_->OpenCapture();
        ASSERT_TRUE(capture_->CaptureRunning());
    }

    double Level() const { return engine_.ctx.stats.AcLevel.load(); }

    fs::path dir_;
    std::string socket_;
    pid_t server_ = -1;
    FixedClock clock_{DateTime{2024, 5, 6, 14, 3, 7}};
    StandardEngine engine_{clock_};
    std::unique_ptr<WaveInput> input_;
    std::unique_ptr<WaveCapture> capture_;
};

TEST_F(SoundServer, StatisticsFollowThePlayedLevel) {
    OpenDefault();
    // Blocks arrive at the capture rate even while nothing plays.
    ASSERT_TRUE(WaitUntil([&] { return capture_->ProcessedBlocks() >= 5; }, std::chrono::seconds(5)));
    EXPECT_LT(Level(), 50.0);

    const auto start = Clock::now();
    const std::uint64_t before = capture_->ProcessedBlocks();
    const double quiet = Play("quiet.wav");
    const double loud = Play("loud.wav");
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double blocks = static_cast<double>(capture_->ProcessedBlocks() - before);
    // The peak-hold envelope sits at the sine's amplitude.
    EXPECT_NEAR(quiet, 3000.0, 300.0);
    EXPECT_NEAR(loud, 15000.0, 1500.0);
    // Blocks of 1024 frames at 11025 Hz: about 10.8 per second.
    EXPECT_NEAR(blocks / seconds, 11025.0 / 1024.0, 1.5);
    EXPECT_EQ(capture_->DroppedBlocks(), 0u);

    // After the sound, the envelope decays (time constant 0.91 s).
    ASSERT_TRUE(WaitUntil([&] { return Level() < 4500.0; }, std::chrono::seconds(4)));
    capture_->CloseCapture();
    EXPECT_FALSE(capture_->CaptureThreadAlive());
}

TEST_F(SoundServer, AFiveToneCallPlayedIntoTheSinkIsDecoded) {
    engine_.ctx.settings.PocsagEnabled.store(true);
    engine_.ctx.settings.FmsEnabled.store(true);
    engine_.ctx.settings.ZveiEnabled.store(true);
    OpenDefault();
    Play("call.wav");
    std::string text;
    std::string taken;
    EXPECT_TRUE(WaitUntil(
        [&] {
            if (engine_.ctx.TakeText(taken)) text += taken;
            return text.find("12345") != std::string::npos;
        },
        std::chrono::seconds(3)));
    EXPECT_NE(text.find("14:03:07\tZVEI: 12345\r\n"), std::string::npos) << text;
}

TEST_F(SoundServer, AServerThatDiesStopsTheBlocksAndAReopenRetries) {
    OpenDefault();
    ASSERT_TRUE(WaitUntil([&] { return capture_->ProcessedBlocks() >= 5; }, std::chrono::seconds(5)));

    StopServer(SIGKILL);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const std::uint64_t after = capture_->ProcessedBlocks();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LE(capture_->ProcessedBlocks(), after + 1) << "blocks kept coming from a dead server";

    auto start = Clock::now();
    capture_->CloseCapture();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(30)) << "closing hung";  // a hang, not a slow machine

    // While the server is away, choosing the device fails quietly or delivers
    // nothing; once it is back, choosing it again captures.
    capture_->OpenCapture();
    capture_->CloseCapture();
    ASSERT_TRUE(StartServer());
    start = Clock::now();
    capture_->OpenCapture();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(30)) << "opening hung";  // a hang, not a slow machine
    ASSERT_TRUE(capture_->CaptureRunning());
    const std::uint64_t reopened = capture_->ProcessedBlocks();
    EXPECT_NEAR(Play("loud.wav"), 15000.0, 1500.0);
    EXPECT_GT(capture_->ProcessedBlocks(), reopened + 10);
}

}  // namespace
}  // namespace quorvel
