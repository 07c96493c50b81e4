// What the call-history suites share: the rows of a file read back, programs
// started in the background (a writer to kill, quorvel-web on a free port), and
// the station's recording with a few more kinds (FMS follow-on text, CCIR).
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "station_test_support.h"
#include "store/call_store.h"
#include "test_support.h"

namespace quorvel::testing {

inline const std::string kDecode = QUORVEL_DECODE_PATH;
inline const std::string kGen = QUORVEL_GEN_PATH;
inline const std::string kWeb = QUORVEL_WEB_PATH;

// Every row of a file, oldest first.
inline std::vector<store::CallRow> AllRows(const std::string& db) {
    std::string error;
    auto s = store::CallStore::Open(db, store::CallStore::Mode::Read, error);
    std::vector<store::CallRow> rows;
    store::CallQuery all;
    all.limit = store::CallQuery::kMaxLimit;
    if (!s || !s->Query(all, rows, error, true)) ADD_FAILURE() << error;
    return rows;
}

// A program in the background, its standard error in a file; killed (SIGKILL)
// at the end of the test unless stopped before.
class Background {
public:
    Background(const std::string& command, const std::string& errPath, const std::string& outPath = "/dev/null")
        : errPath_(errPath) {
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            execl("/bin/sh", "sh", "-c", ("exec " + command + " >" + outPath + " 2>" + errPath).c_str(), nullptr);
            _exit(127);
        }
    }
    ~Background() {
        if (pid_ > 0) Signal(SIGKILL), Wait();
    }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    void Signal(int signal) const {
        if (pid_ > 0) kill(pid_, signal);
    }
    // The exit status (-signal when killed by one).
    int Wait() {
        int raw = 0;
        if (pid_ <= 0 || waitpid(pid_, &raw, 0) != pid_) return -1000;
        pid_ = -1;
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -WTERMSIG(raw);
    }
    bool Running() const {
        return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0;
    }
    std::string Err() const { return ReadFile(errPath_); }

private:
    pid_t pid_ = -1;
    std::string errPath_;
};

// Polls `ready` every 20 ms until it holds or `seconds` have passed (a limit
// for a hung test, not a measurement).
template <class F>
bool WaitFor(F ready, double seconds = 20.0) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// quorvel-web on a free loopback port.
class WebServer {
public:
    WebServer(const std::string& db, const std::string& errPath)
        : process_(kWeb + " --db '" + db + "' --listen 127.0.0.1:0", errPath) {
        WaitFor([&] {
            const std::string err = process_.Err();
            const auto at = err.find("http://127.0.0.1:");
            if (at == std::string::npos) return !process_.Running();
            port_ = std::atoi(err.c_str() + at + 17);
            return port_ > 0;
        });
    }
    int Port() const { return port_; }
    Background& Process() { return process_; }

private:
    Background process_;
    int port_ = 0;
};

// Recordings of every kind, written once into `dir`: the station's traffic
// (POCSAG, FMS, ZVEI), FMS with follow-on text, CCIR five-tone.
inline void WriteRecordings(const ScratchDir& dir) {
    ASSERT_EQ(StationTraffic().WriteWav(dir.Path("traffic.wav")), "");
    for (const std::string& args :
         {"fms -o " + dir.Path("fmstext.wav") + " --status 5 --text 'Lage: Brand <b>'",
          "tones -o " + dir.Path("ccir.wav") + " --table ccir -s 13579"}) {
        const auto r = RunCommand(kGen + " " + args);
        ASSERT_EQ(r.status, 0) << args << r.err;
    }
}

}  // namespace quorvel::testing
