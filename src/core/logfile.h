// The POCSAG message log and stream log: two plain-text files written while
// logging is switched on. The decoder fills one record per log field by field and
// asks for a line; this module only names, opens, formats, writes and closes.
//
// Message log: one line per decoded message (tone-only calls included) with
// begin and end time, address, function, bad codewords, type and text.
// Stream log: one line per transmission with its counters and bit rate.
//
// Threads: the window opens and closes the logs and sets the folder; the capture
// thread fills the records and writes lines. One lock (`mutex`) keeps them apart:
// every open, write and close takes it, and the decoder holds it while it fills a
// record and has the line written. It is recursive so that a holder may call
// MessageLog / StreamLog.
//
// Unlike a silent logger, a log that cannot be created or written says so: the
// open and write actions return false, the open field stays 0 for a file that is
// not open, LastError() tells why, and failed lines are counted apart from the
// lines written. An existing log file is never replaced: a name already taken
// gets a " (2)", " (3)", ... suffix.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "common.h"

namespace quorvel {

enum LogAction : int { laOpen = 0, laWrite = 1, laClose = 2 };

// The record behind a message-log line.
struct tlogdatapocsag_message {
    std::int32_t function = 0;
    std::int32_t address = 0;
    std::int32_t crcErrors = 0;
    std::string beginTime;
    std::string endTime;
    std::string numericText;
    std::string alphaText;
    std::string messageType;
    std::string folder;  // ends in a path separator
    std::int32_t open = 0;
};

// The record behind a stream-log line.
struct tlogdatapocsag_stream {
    std::int32_t crcErrors = 0;
    std::int32_t fails = 0;
    std::int32_t idles = 0;
    std::int32_t syncs = 0;
    std::int32_t counts = 0;
    double speed = 0.0;
    std::string beginTime;
    std::string endTime;
    std::string folder;
    std::int32_t open = 0;
};

class LogFiles {
public:
    static constexpr const char* MessagePrefix = "POCSAG-Decoder-Messages-Log ";
    static constexpr const char* StreamPrefix = "POCSAG-Decoder-Stream-Log ";
    static constexpr const char* MessageHeader =
        "timebegin   timeend   address   function   CRCerrors   messagetype       message";
    static constexpr const char* StreamHeader =
        "timebegin   timeend     idles     syncs     speed    counts     fails   crcerrors";
    static constexpr const char* FirstLine = "POCSAG Decoder https://quorvel.example.org/";

    explicit LogFiles(const Clock& clock) : clock_(clock) {}
    ~LogFiles();
    LogFiles(const LogFiles&) = delete;
    LogFiles& operator=(const LogFiles&) = delete;

    // Folder of both logs; a path separator is added when missing.
    void SetFolder(const std::string& folder);

    // laOpen, laWrite or laClose; any other value does nothing and returns true.
    // Returns false when an open or a write failed (LastError says why).
    bool MessageLog(int action);
    bool StreamLog(int action);

    bool MessageLogOpen() const;
    bool StreamLogOpen() const;
    std::string LastError() const;
    std::string MessageLogPath() const;
    std::string StreamLogPath() const;

    // Lines that reached the file, and lines that could not be written.
    std::int64_t MessageLinesWritten() const;
    std::int64_t StreamLinesWritten() const;
    std::int64_t FailedLines() const;

    // Held by every action here, and by the decoder while it fills a record and
    // has its line written.
    mutable std::recursive_mutex mutex;
    tlogdatapocsag_message MessageLogData;
    tlogdatapocsag_stream StreamLogData;

private:
    struct Handle {
        std::FILE* file = nullptr;
        std::string path;
        std::int64_t lines = 0;
    };
    bool OpenLog(Handle& h, const std::string& folder, const char* prefix, const DateTime& nameTime,
                 const char* header);
    bool WriteLine(Handle& h, const std::string& line);
    void CloseLog(Handle& h);

    const Clock& clock_;
    Handle message_;
    Handle stream_;
    std::int64_t failedLines_ = 0;
    std::string lastError_;
};

// The message column and the whole line of the message log, and the stream line
// (without CR LF), from the records as they stand.
std::string FormatMessageLine(const tlogdatapocsag_message& d);
std::string FormatStreamLine(const tlogdatapocsag_stream& d);

}  // namespace quorvel
