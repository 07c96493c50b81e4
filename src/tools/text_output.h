// Standard output of the command-line decoders, and the watch on the POCSAG logs.
#pragma once

#include <cstdint>
#include <string>

#include "core/logfile.h"

namespace quorvel::tools {

// Every write is checked: output that cannot be written (a full disk, a closed
// reader) is reported once and ends the run with status 1, rather than decoding
// on into nothing.
class Output {
public:
    // `rawText`: the decoders' own Windows-1252 bytes with CR LF (and JSON Lines
    // as they are); else UTF-8 with LF line ends.
    // Without `flush`, lines wait in the stream's buffer until it fills or
    // Finish().
    Output(const char* program, bool rawText, bool flush = true)
        : program_(program), rawText_(rawText), flush_(flush) {}

    // What a take step hands over, converted as asked and flushed. False once
    // output has failed.
    bool Write(const std::string& text);
    // Flush what is still buffered. False once output has failed.
    bool Finish();
    bool Failed() const { return failed_; }

private:
    bool Fail();
    const char* program_;
    bool rawText_;
    bool flush_;
    bool failed_ = false;
    std::string converted_;
};

// Reports each log line that could not be written when it happens, naming the
// file (a full disk shows at once, not at the end of a day-long run).
class LogWatch {
public:
    LogWatch(const char* program, const LogFiles* logs) : program_(program), logs_(logs) {}
    void Check();
    std::int64_t Failed() const { return reported_; }

private:
    const char* program_;
    const LogFiles* logs_;
    std::int64_t reported_ = 0;
};

}  // namespace quorvel::tools
