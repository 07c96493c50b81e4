// quorvel-decode's live input through a real sound server, as a user or a
// service manager runs it: a PulseAudio daemon of the test's own (two null sinks
// with descriptions, the first one's monitor as the default source, a socket in
// a temporary folder), the program started with --device, calls played into the
// sink. Checked: the list shows names and descriptions, a device is found by
// name, number or a unique part of its description, `| head -1` ends the run,
// and a server killed and started again mid-capture is reported and picked up,
// so that a call played afterwards is decoded. The daemon, the program and
// `head` are ended by their process ids.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>
#include <vector>

#include "test_support.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

bool WaitUntil(const std::function<bool()>& condition, Clock::duration limit) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Start `argv` with standard input and output on the given descriptors (-1:
// /dev/null) and standard error into `err` (emptied before it starts, so that
// nothing of an earlier run is mistaken for its own).
pid_t Spawn(const std::vector<std::string>& argv, int in, int out, const fs::path& err) {
    const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const pid_t pid = fork();
    if (pid != 0) {
        close(e);
        return pid;
    }
    const int null = open("/dev/null", O_RDWR);
    dup2(in >= 0 ? in : null, STDIN_FILENO);
    dup2(out >= 0 ? out : null, STDOUT_FILENO);
    dup2(e, STDERR_FILENO);
    for (int fd = 3; fd < 256; ++fd) close(fd);
    // As a shell started from a desktop session may leave it: SIGPIPE blocked.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    sigprocmask(SIG_BLOCK, &pipe, nullptr);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

class LiveDecode : public ::testing::Test {
protected:
    void SetUp() override {
        if (testing::RunCommand("command -v pulseaudio >/dev/null").status != 0)
            GTEST_SKIP() << "pulseaudio is not installed (scripts/setup.sh installs it)";
        char pattern[] = "/tmp/quorvel-live-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        fs::create_directories(dir_ / "runtime");
        chmod((dir_ / "runtime").c_str(), 0700);
        socket_ = (dir_ / "native").string();
        std::ofstream(dir_ / "server.pa")
            << "load-module module-native-protocol-unix socket=" << socket_ << " auth-anonymous=1\n"
            << "load-module module-null-sink sink_name=quorvel_sink sink_properties=device.description=Scanner_Sink\n"
            << "load-module module-null-sink sink_name=quorvel_other sink_properties=device.description=Other_Sink\n"
            << "set-default-sink quorvel_sink\n"
            << "set-default-source quorvel_sink.monitor\n";
        std::ofstream(dir_ / ".asoundrc") << "pcm.!default { type pulse }\nctl.!default { type pulse }\n";
        setenv("HOME", dir_.c_str(), 1);
        setenv("PULSE_SERVER", ("unix:" + socket_).c_str(), 1);
        setenv("PULSE_RUNTIME_PATH", (dir_ / "runtime").c_str(), 1);
        setenv("PULSE_STATE_PATH", (dir_ / "runtime").c_str(), 1);
        ASSERT_TRUE(StartServer());
        const std::string gen = QUORVEL_GEN_PATH;
        const auto made = testing::RunCommand(gen + " tones -o " + File("call.wav") +
                                              " --channels 2 --signal-channel 2 --rate 11025 --level 12000"
                                              " -s 12345 --lead 0.3 --tail 0.5");
        ASSERT_EQ(made.status, 0) << made.err;
    }

    void TearDown() override {
        for (pid_t pid : children_) End(pid, SIGKILL);
        StopServer();
        if (!dir_.empty()) {
            std::error_code ignored;
            fs::remove_all(dir_, ignored);
        }
    }

    bool StartServer() {
        const std::string config = (dir_ / "server.pa").string();
        const std::string log = "--log-target=file:" + (dir_ / "server.log").string();
        server_ = fork();
        if (server_ == 0) {
            execlp("pulseaudio", "pulseaudio", "-n", "-F", config.c_str(), "--system=false", "--daemonize=no",
                   "--exit-idle-time=-1", "--disallow-exit", "--use-pid-file=no", "--realtime=no",
                   "--high-priority=no", log.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        if (server_ < 0) return false;
        return WaitUntil([] { return testing::RunCommand("pactl info >/dev/null").status == 0; }, seconds(10));
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

    // quorvel-decode on `device`, standard output into `out` (a descriptor, or
    // the file out.txt), standard error into err.txt.
    pid_t StartDecoder(const std::string& device, int out = -1, const std::vector<std::string>& more = {}) {
        int fd = out;
        if (fd < 0) fd = open(File("out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<std::string> argv = {QUORVEL_DECODE_PATH, "--decoders", "zvei", "--device", device};
        argv.insert(argv.end(), more.begin(), more.end());
        const pid_t pid = Spawn(argv, -1, fd, dir_ / "err.txt");
        if (out < 0) close(fd);
        children_.push_back(pid);
        return pid;
    }

    // Waits for the child to end; its exit status, or -1 after `limit`.
    static int WaitExit(pid_t pid, Clock::duration limit) {
        int status = 0;
        bool ended = WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit);
        if (!ended) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // Ends a child still running (one already reaped is not signalled).
    static void End(pid_t pid, int signal) {
        if (pid <= 0 || waitpid(pid, nullptr, WNOHANG) != 0) return;
        kill(pid, signal);
        waitpid(pid, nullptr, 0);
    }

    void Play() {
        const auto played = testing::RunCommand("paplay --device=quorvel_sink " + File("call.wav"));
        EXPECT_EQ(played.status, 0) << played.err;
    }

    std::string Err() const { return ReadAll(dir_ / "err.txt"); }
    std::string Out() const { return ReadAll(dir_ / "out.txt"); }
    bool ErrHas(const std::string& text, Clock::duration limit) const {
        return WaitUntil([&] { return Err().find(text) != std::string::npos; }, limit);
    }
    std::string File(const std::string& name) const { return (dir_ / name).string(); }

    fs::path dir_;
    std::string socket_;
    pid_t server_ = -1;
    std::vector<pid_t> children_;
};

TEST_F(LiveDecode, TheListShowsTheServersSourcesWithNameAndDescription) {
    const auto listed = testing::RunCommand(std::string(QUORVEL_DECODE_PATH) + " --list-devices");
    EXPECT_EQ(listed.status, 0) << listed.err;
    // The default source first, then the other sink's monitor.
    EXPECT_EQ(listed.out,
              "0\tquorvel_sink.monitor\tMonitor of Scanner_Sink\n"
              "1\tquorvel_other.monitor\tMonitor of Other_Sink\n");
}

TEST_F(LiveDecode, ADeviceChosenByNameNumberOrPartOfItsDescriptionDecodesACall) {
    for (const std::string device : {"quorvel_sink.monitor", "scanner_sink", "0"}) {
        SCOPED_TRACE(device);
        pid_t decoder = StartDecoder(device);
        ASSERT_TRUE(ErrHas("capturing from device 0 (quorvel_sink.monitor, Monitor of Scanner_Sink)", seconds(10)))
            << Err();
        Play();
        EXPECT_TRUE(WaitUntil([&] { return Out().find("ZVEI: 12345\n") != std::string::npos; }, seconds(5)))
            << Out() << Err();
        kill(decoder, SIGTERM);
        EXPECT_EQ(WaitExit(decoder, seconds(5)), 0) << Err();
    }
}

TEST_F(LiveDecode, UnknownOrAmbiguousDevicesAreRefused) {
    struct Case {
        const char* device;
        const char* reason;
    };
    for (const Case& c : {Case{"default", "no capture device 'default'"}, Case{"Monitor", "fits several"},
                          Case{"2", "no capture device 2 (2 listed)"}}) {
        const auto r = testing::RunCommand(std::string(QUORVEL_DECODE_PATH) + " --device " + c.device);
        EXPECT_EQ(r.status, 2) << c.device;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << c.device << ": " << r.err;
    }
}

TEST_F(LiveDecode, UnderHeadOneTheRunEndsOnceTheFirstLineIsTaken) {
    int link[2];
    ASSERT_EQ(pipe(link), 0);
    const pid_t decoder = StartDecoder("quorvel_sink.monitor", link[1]);
    const int headOut = open(File("head.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t head = Spawn({"head", "-1"}, link[0], headOut, dir_ / "head-err.txt");
    children_.push_back(head);
    close(link[0]);
    close(link[1]);
    close(headOut);
    ASSERT_TRUE(ErrHas("capturing from", seconds(10))) << Err();

    Play();
    EXPECT_EQ(WaitExit(head, seconds(5)), 0);
    EXPECT_EQ(ReadAll(dir_ / "head.txt").find("ZVEI: 12345\n"), 9u) << ReadAll(dir_ / "head.txt");
    // Nothing more has to be written for the run to notice.
    EXPECT_EQ(WaitExit(decoder, seconds(3)), 1) << "the run went on after its output was closed\n" << Err();
    EXPECT_NE(Err().find("standard output was closed"), std::string::npos) << Err();
}

TEST_F(LiveDecode, AServerKilledAndStartedAgainIsReportedAndPickedUp) {
    const pid_t decoder = StartDecoder("Scanner");
    ASSERT_TRUE(ErrHas("capturing from", seconds(10))) << Err();

    StopServer(SIGKILL);
    EXPECT_TRUE(ErrHas("went away", seconds(5))) << Err();
    std::this_thread::sleep_for(seconds(2));  // a few attempts fail meanwhile
    ASSERT_TRUE(StartServer());
    EXPECT_TRUE(ErrHas("capturing again from device 0 (quorvel_sink.monitor", seconds(20))) << Err();

    Play();
    EXPECT_TRUE(WaitUntil([&] { return Out().find("ZVEI: 12345\n") != std::string::npos; }, seconds(5)))
        << Out() << Err();
    EXPECT_EQ(WaitExit(decoder, std::chrono::milliseconds(0)), -1) << "the run ended\n" << Err();
    kill(decoder, SIGTERM);
    EXPECT_EQ(WaitExit(decoder, seconds(5)), 0) << Err();
}

// A live run reports a lost call when it happens and keeps running; stopped,
// it lets a hook that still runs finish, then ends with status 1 for the loss.
TEST_F(LiveDecode, AStopLetsRunningHooksFinishAndALossEndsWithStatusOne) {
    const std::string go = File("go"), marker = File("marker");
    const pid_t decoder =
        StartDecoder("0", -1, {"--stats", "--exec", "exit 3", "--exec",
                               "until [ -e " + go + " ]; do sleep 0.05; done; cat > " + marker});
    ASSERT_TRUE(ErrHas("capturing from", seconds(10))) << Err();
    Play();
    EXPECT_TRUE(WaitUntil([&] { return Out().find("ZVEI: 12345\n") != std::string::npos; }, seconds(5)))
        << Out() << Err();
    EXPECT_TRUE(ErrHas("hook 'exit 3' failed: exit status 3; for zvei 12345", seconds(10))) << Err();
    EXPECT_EQ(WaitExit(decoder, std::chrono::milliseconds(0)), -1) << "the run ended\n" << Err();
    kill(decoder, SIGTERM);
    std::ofstream(go) << "";
    EXPECT_EQ(WaitExit(decoder, seconds(60)), 1) << Err();
    EXPECT_NE(ReadAll(marker).find("\"address\":\"12345\""), std::string::npos) << ReadAll(marker);
    EXPECT_NE(Err().find("hooks run: 2\nhooks failed: 1\nhooks dropped: 0\nlost: 1\n"), std::string::npos) << Err();
    EXPECT_NE(Err().find("1 call(s) or hook run(s) lost"), std::string::npos) << Err();
}

}  // namespace
}  // namespace quorvel
