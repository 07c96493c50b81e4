// The station's own threads never take SIGINT or SIGTERM: those go to the
// thread that reads the input, where the handler can end a blocked read.
#pragma once

#include <signal.h>

namespace quorvel::station {

// While it lives, SIGINT and SIGTERM are blocked in this thread, and so in the
// threads it starts.
class StopSignalsBlocked {
public:
    StopSignalsBlocked() {
        sigset_t stop;
        sigemptyset(&stop);
        sigaddset(&stop, SIGINT);
        sigaddset(&stop, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stop, &previous_);
    }
    ~StopSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    StopSignalsBlocked(const StopSignalsBlocked&) = delete;
    StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;

private:
    sigset_t previous_;
};

}  // namespace quorvel::station
