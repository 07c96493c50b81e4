#include "stop_request.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace quorvel::tools {

namespace {

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");
int emptyInput = -1;  // /dev/null, put in place of standard input at the first signal

extern "C" void OnStopSignal(int signal) {
    if (stopRequested.exchange(true)) {
        // The second: the default action, at once.
        ::signal(signal, SIG_DFL);
        ::raise(signal);
        return;
    }
    // A read blocked on a pipe returns (EINTR: no SA_RESTART); one that is
    // tried again, or the next, finds the end of the input.
    if (emptyInput >= 0) ::dup2(emptyInput, STDIN_FILENO);
}

}  // namespace

void InstallStopHandlers() {
    if (emptyInput < 0) emptyInput = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

const std::atomic<bool>& StopRequest() { return stopRequested; }

}  // namespace quorvel::tools
