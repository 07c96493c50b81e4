// SIGINT and SIGTERM for the command-line decoders: the first asks for an
// orderly end (stop reading, finish what was read, deliver what is queued,
// report, exit); a second ends the program at once, as the signal would.
#pragma once

#include <atomic>

namespace quorvel::tools {

// Installs the handlers; call before any thread is started. Reading from
// standard input ends at the first signal: a read under way returns, and the
// descriptor then reads as empty.
void InstallStopHandlers();

// The flag the first signal sets.
const std::atomic<bool>& StopRequest();
inline bool StopRequested() { return StopRequest().load(); }

}  // namespace quorvel::tools
