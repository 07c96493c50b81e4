#include "hooks.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "thread_signals.h"

extern char** environ;

namespace quorvel::station {

namespace {

using Steady = std::chrono::steady_clock;

void Report(const std::string& line) {
    const std::string text = "quorvel-decode: " + line + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);  // one write per line, whole lines from every thread
    std::fflush(stderr);
}

std::string Seconds(double s) {
    std::ostringstream t;
    t << s;
    return t.str();
}

// Writes all of `input` to the non-blocking `fd` before `deadline`; a command
// that does not read its input (or has ended) is not an error.
void WriteInput(int fd, const std::string& input, Steady::time_point deadline) {
    std::size_t done = 0;
    while (done < input.size()) {
        const ssize_t n = ::write(fd, input.data() + done, input.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
            if (left <= 0) return;
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 50)));
            continue;
        }
        return;  // EPIPE: the command does not want (more of) it
    }
}

// The SIGPIPE a write to a closed pipe raised in this thread (blocked here).
void DiscardPendingSigpipe() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    const timespec zero{0, 0};
    while (sigtimedwait(&set, nullptr, &zero) == SIGPIPE) {
    }
}

}  // namespace

HookOutcome RunCommand(const std::string& command, const std::string& input,
                       const std::vector<std::string>& environment, double timeoutSeconds,
                       const std::atomic<bool>* stop) {
    HookOutcome outcome;
    // SIGPIPE stays blocked in this thread, so a command that closes its input
    // gives EPIPE here instead of ending the program.
    sigset_t pipeOnly, previous;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        outcome.what = std::string("no pipe: ") + std::strerror(errno);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return outcome;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    posix_spawn_file_actions_adddup2(&actions, 2, 1);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // Its own process group, so that a time-out kills what the shell started
    // too; default signal handling and an empty mask whatever this thread has.
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none, defaults;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigemptyset(&defaults);
    for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&defaults, s);
    posix_spawnattr_setsigdefault(&attr, &defaults);

    std::vector<std::string> env;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e)
        if (std::strncmp(*e, "QUORVEL_", 8) != 0) env.emplace_back(*e);
    env.insert(env.end(), environment.begin(), environment.end());
    std::vector<char*> envp;
    for (std::string& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string shell = "/bin/sh", dashC = "-c", commandCopy = command;
    char* argv[] = {shell.data(), dashC.data(), commandCopy.data(), nullptr};

    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(fds[0]);
    if (spawned != 0) {
        ::close(fds[1]);
        outcome.what = std::string("could not be started: ") + std::strerror(spawned);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return outcome;
    }
    const auto start = Steady::now();
    const auto deadline = timeoutSeconds > 0
                              ? start + std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(timeoutSeconds))
                              : Steady::time_point::max();
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    WriteInput(fds[1], input, deadline);
    ::close(fds[1]);
    DiscardPendingSigpipe();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    int status = 0;
    bool timedOut = false, stopped = false;
    for (int pause = 1;;) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (r < 0 && errno != EINTR) {
            outcome.what = std::string("lost: ") + std::strerror(errno);
            return outcome;
        }
        const bool late = Steady::now() >= deadline;
        const bool stopNow = stop != nullptr && stop->load();
        if (late || stopNow) {
            timedOut = late;
            stopped = !late;
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        // Short commands end quickly; longer ones are looked at every 20 ms.
        std::this_thread::sleep_for(std::chrono::milliseconds(pause));
        pause = std::min(pause * 2, 20);
    }
    if (timedOut) {
        outcome.what = "timed out after " + Seconds(timeoutSeconds) + " s (killed)";
    } else if (stopped) {
        outcome.what = "killed at the end of the input (still running)";
    } else if (WIFEXITED(status)) {
        const int code = WEXITSTATUS(status);
        outcome.ok = code == 0;
        outcome.what = "exit status " + std::to_string(code);
        if (code == 127) outcome.what += " (command not found)";
        if (code == 126) outcome.what += " (not executable)";
    } else if (WIFSIGNALED(status)) {
        outcome.what = "killed by signal " + std::to_string(WTERMSIG(status));
    }
    return outcome;
}

std::vector<std::string> HookEnvironment(const Call& call) {
    return {
        "QUORVEL_PROTOCOL=" + call.protocol, "QUORVEL_ADDRESS=" + call.address,
        "QUORVEL_FUNCTION=" + call.function, "QUORVEL_MESSAGE=" + call.message,
        "QUORVEL_NAME=" + call.name,         "QUORVEL_TIME=" + call.time,
    };
}

std::string CheckCommand(const std::string& command) {
    const auto begin = command.find_first_not_of(" \t");
    if (begin == std::string::npos) return "an empty command";
    const auto end = command.find_first_of(" \t;|&<>()", begin);
    const std::string word = command.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    // Quotes, expansions or assignments: the shell decides what runs.
    if (word.empty() || word.find_first_of("\"'$`\\=*?[~{") != std::string::npos) return {};
    static const char* const builtins[] = {"exec", "eval", "test", "[", "echo", "printf", "true", "false", ":",
                                           ".", "cd", "read", "set", "exit", "if", "for", "while", "case",
                                           "until", "export", "command", "trap", "wait"};
    for (const char* b : builtins)
        if (word == b) return {};
    auto runnable = [](const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
    };
    if (word.find('/') != std::string::npos) {
        if (runnable(word)) return {};
        return "'" + word + "' is not an executable file";
    }
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (runnable((dir.empty() ? "." : dir) + "/" + word)) return {};
    return "'" + word + "' is not found on PATH";
}

HookRunner::HookRunner(std::vector<std::string> commands, double timeoutSeconds, std::size_t workers,
                       std::size_t capacity, std::atomic<std::uint64_t>* losses)
    : commands_(std::move(commands)), timeout_(timeoutSeconds), capacity_(capacity), losses_(losses) {
    const StopSignalsBlocked blocked;
    for (std::size_t i = 0; i < workers; ++i) workers_.emplace_back([this] { Work(); });
}

HookRunner::~HookRunner() { Finish(0.0); }

void HookRunner::Submit(const Call& call) {
    std::size_t dropped = 0;
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (const std::string& c : commands_) {
            if (stopping_ || queue_.size() >= capacity_) {
                ++dropped;
                continue;
            }
            queue_.push_back({c, call});
        }
    }
    wake_.notify_all();
    if (dropped > 0) {
        dropped_ += dropped;
        Lost(dropped);
        Report("hook queue full (" + std::to_string(capacity_) + " waiting): " + std::to_string(dropped) +
               " hook run(s) dropped for " + Describe(call));
    }
}

void HookRunner::Work() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> hold(lock_);
            wake_.wait(hold, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            job = std::move(queue_.front());
            queue_.pop_front();
            ++running_;
        }
        const HookOutcome outcome =
            RunCommand(job.command, job.call.json + "\n", HookEnvironment(job.call), timeout_, &kill_);
        ++runs_;
        if (!outcome.ok) {
            ++failed_;
            Lost(1);
            Report("hook '" + job.command + "' failed: " + outcome.what + "; for " + Describe(job.call));
        }
        {
            std::lock_guard<std::mutex> hold(lock_);
            --running_;
        }
        idle_.notify_all();
    }
}

void HookRunner::Finish(double maxSeconds) {
    if (workers_.empty()) return;
    std::deque<Job> abandoned;
    {
        std::unique_lock<std::mutex> hold(lock_);
        idle_.wait_for(hold, std::chrono::duration<double>(maxSeconds),
                       [this] { return queue_.empty() && running_ == 0; });
        stopping_ = true;
        abandoned.swap(queue_);
        if (running_ > 0) kill_.store(true);
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
    workers_.clear();
    if (!abandoned.empty()) {
        dropped_ += abandoned.size();
        Lost(abandoned.size());
        Report(std::to_string(abandoned.size()) + " hook run(s) not started before the end (waited " +
               Seconds(maxSeconds) + " s); the first for " + Describe(abandoned.front().call));
    }
}

}  // namespace quorvel::station
