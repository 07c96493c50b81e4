// Command hooks: for each call, every --exec command runs through /bin/sh with
// the call's JSON object (and a line end) on its standard input and the main
// fields in QUORVEL_* environment variables. Its standard output goes to our
// standard error, so the decoded output stays clean.
//
// Submit only puts the call into a bounded queue and returns: a small pool of
// worker threads runs the commands, each with a time limit, after which the
// command's process group is killed. Failures, time-outs and calls that find
// the queue full are reported on standard error with the call they were for,
// and counted.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "call.h"

namespace quorvel::station {

// What became of one run of a command.
struct HookOutcome {
    bool ok = false;
    std::string what;  // "exit status 3", "timed out after 2 s (killed)", ...
};

// Runs `command` with `input` on its standard input and `environment` added,
// waiting at most `timeoutSeconds` (0: no limit), or less when `stop` turns
// true. Safe to call from several threads at once.
HookOutcome RunCommand(const std::string& command, const std::string& input,
                       const std::vector<std::string>& environment, double timeoutSeconds,
                       const std::atomic<bool>* stop = nullptr);

// The QUORVEL_* variables of a call ("NAME=value").
std::vector<std::string> HookEnvironment(const Call& call);

// Empty when the first word of the command names something that can run (a
// shell word, a built-in, or a program found on PATH), else what is wrong.
std::string CheckCommand(const std::string& command);

class HookRunner {
public:
    // `losses`, when given, counts every run that failed or never started.
    HookRunner(std::vector<std::string> commands, double timeoutSeconds, std::size_t workers = 4,
               std::size_t capacity = 256, std::atomic<std::uint64_t>* losses = nullptr);
    ~HookRunner();
    HookRunner(const HookRunner&) = delete;
    HookRunner& operator=(const HookRunner&) = delete;

    // Queues one run per command for the call; never waits for a command.
    void Submit(const Call& call);
    // Waits until every queued run has ended, at most `maxSeconds`; then kills
    // what still runs, reports what never started, and stops the workers.
    void Finish(double maxSeconds);

    std::uint64_t Runs() const { return runs_.load(); }
    std::uint64_t Failed() const { return failed_.load(); }
    std::uint64_t Dropped() const { return dropped_.load(); }

private:
    struct Job {
        std::string command;
        Call call;
    };
    void Work();
    void Lost(std::uint64_t n) {
        if (losses_ != nullptr) *losses_ += n;
    }

    std::vector<std::string> commands_;
    double timeout_;
    std::size_t capacity_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<Job> queue_;
    std::size_t running_ = 0;
    bool stopping_ = false;
    std::atomic<bool> kill_{false};
    std::atomic<std::uint64_t> runs_{0}, failed_{0}, dropped_{0};
    std::atomic<std::uint64_t>* losses_;
    std::vector<std::thread> workers_;
};

}  // namespace quorvel::station
