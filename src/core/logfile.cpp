#include "logfile.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace quorvel {

namespace {

std::string Printf(const char* format, auto... args) {
    char buffer[256];
    const int n = std::snprintf(buffer, sizeof buffer, format, args...);
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < sizeof buffer) return std::string(buffer, static_cast<std::size_t>(n));
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), format, args...);
    big.resize(static_cast<std::size_t>(n));
    return big;
}

// "yyyy_mm_dd hh-mm-ss", the time stamp in a log's file name.
std::string NameStamp(const DateTime& t) {
    return Printf("%04d_%02d_%02d %02d-%02d-%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
}

// "yyyy-mm-dd hh:mm:ss", the start time in a log's second line.
std::string StartStamp(const DateTime& t) {
    return Printf("%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
}

}  // namespace

std::string FormatMessageLine(const tlogdatapocsag_message& d) {
    std::string column;
    if (!d.numericText.empty()) {
        column = Printf("%-20s", d.numericText.c_str()) + "   " + d.alphaText;
    } else {
        column = d.alphaText;
    }
    std::string line = " " + d.beginTime + "  " + d.endTime + "   ";
    line += Printf("%7.7d", d.address);
    line += "    ";
    line += Printf("%7d", d.function);
    line += "     ";
    line += Printf("%7d", d.crcErrors);
    line += "   ";
    line += Printf("%-15s", d.messageType.c_str());
    line += "   ";
    line += column;
    return line;
}

std::string FormatStreamLine(const tlogdatapocsag_stream& d) {
    std::string line = " " + d.beginTime + "  " + d.endTime;
    line += Printf("%10d%10d%10.2f%10d%10d%12d", d.idles, d.syncs, d.speed, d.counts, d.fails, d.crcErrors);
    return line;
}

LogFiles::~LogFiles() {
    std::lock_guard lock(mutex);
    CloseLog(message_);
    CloseLog(stream_);
}

void LogFiles::SetFolder(const std::string& folder) {
    std::lock_guard lock(mutex);
    std::string f = folder;
    if (!f.empty() && f.back() != '/' && f.back() != '\\') f.push_back('/');
    MessageLogData.folder = f;
    StreamLogData.folder = f;
}

bool LogFiles::OpenLog(Handle& h, const std::string& folder, const char* prefix, const DateTime& nameTime,
                       const char* header) {
    CloseLog(h);
    const std::string base = folder + prefix + NameStamp(nameTime);
    // Never replace an earlier log (logging switched off and on within one
    // second gives the same name): take the first free " (n)" suffix. "x" makes
    // the creation exclusive, so a file that appears meanwhile is not clobbered.
    std::FILE* file = nullptr;
    std::string path;
    int error = 0;
    for (int n = 1; n <= 1000 && file == nullptr; ++n) {
        path = n == 1 ? base + ".txt" : base + " (" + std::to_string(n) + ").txt";
        errno = 0;
        file = std::fopen(path.c_str(), "wbx");
        error = errno;
        if (file == nullptr && error != EEXIST) break;
    }
    if (file == nullptr) {
        lastError_ = "cannot create " + path + ": " + std::strerror(error != 0 ? error : EEXIST);
        return false;
    }
    std::string head = std::string(FirstLine) + "\r\n";
    head += "Starttime  " + StartStamp(clock_.LocalNow()) + "\r\n";
    head += "\r\n";
    head += std::string(header) + "\r\n";
    head += "\r\n";
    errno = 0;
    const bool ok = std::fwrite(head.data(), 1, head.size(), file) == head.size() && std::fflush(file) == 0;
    if (!ok) {
        error = errno;
        std::fclose(file);
        std::remove(path.c_str());
        lastError_ = "cannot write " + path + ": " + std::strerror(error != 0 ? error : EIO);
        return false;
    }
    h.file = file;
    h.path = path;
    h.lines = 0;
    return true;
}

bool LogFiles::WriteLine(Handle& h, const std::string& line) {
    if (h.file == nullptr) {
        lastError_ = "log not open";
        return false;
    }
    const std::string text = line + "\r\n";
    // Written straight to the file, line by line: the program runs for days, and
    // a full disk must show at the line that did not fit. A line that fits only
    // in part is taken back, so that the next one does not start inside it.
    const int fd = fileno(h.file);
    const off_t before = lseek(fd, 0, SEEK_END);
    std::size_t done = 0;
    int error = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (done < text.size()) {
        if (before >= 0 && ftruncate(fd, before) == 0) lseek(fd, before, SEEK_SET);
        ++failedLines_;
        lastError_ = "cannot write " + h.path + ": " + std::strerror(error != 0 ? error : EIO);
        return false;
    }
    ++h.lines;
    return true;
}

void LogFiles::CloseLog(Handle& h) {
    if (h.file != nullptr) {
        if (std::fclose(h.file) != 0) lastError_ = "cannot close " + h.path + ": " + std::strerror(errno);
    }
    h.file = nullptr;
}

bool LogFiles::MessageLog(int action) {
    std::lock_guard lock(mutex);
    switch (action) {
        case laOpen: {
            MessageLogData.open = 0;
            const bool ok = OpenLog(message_, MessageLogData.folder, MessagePrefix, clock_.LocalNow(), MessageHeader);
            MessageLogData.open = ok ? 1 : 0;
            return ok;
        }
        case laWrite: {
            const bool ok = WriteLine(message_, FormatMessageLine(MessageLogData));
            MessageLogData.numericText.clear();
            MessageLogData.alphaText.clear();
            MessageLogData.crcErrors = 0;
            return ok;
        }
        case laClose:
            CloseLog(message_);
            MessageLogData.open = 0;
            return true;
        default:
            return true;
    }
}

bool LogFiles::StreamLog(int action) {
    std::lock_guard lock(mutex);
    switch (action) {
        case laOpen: {
            StreamLogData.open = 0;
            const bool ok = OpenLog(stream_, StreamLogData.folder, StreamPrefix, clock_.UtcNow(), StreamHeader);
            StreamLogData.open = ok ? 1 : 0;
            return ok;
        }
        case laWrite:
            return WriteLine(stream_, FormatStreamLine(StreamLogData));
        case laClose:
            CloseLog(stream_);
            StreamLogData.open = 0;
            return true;
        default:
            return true;
    }
}

bool LogFiles::MessageLogOpen() const {
    std::lock_guard lock(mutex);
    return MessageLogData.open == 1;
}

bool LogFiles::StreamLogOpen() const {
    std::lock_guard lock(mutex);
    return StreamLogData.open == 1;
}

std::string LogFiles::LastError() const {
    std::lock_guard lock(mutex);
    return lastError_;
}

std::string LogFiles::MessageLogPath() const {
    std::lock_guard lock(mutex);
    return message_.path;
}

std::string LogFiles::StreamLogPath() const {
    std::lock_guard lock(mutex);
    return stream_.path;
}

std::int64_t LogFiles::MessageLinesWritten() const {
    std::lock_guard lock(mutex);
    return message_.lines;
}

std::int64_t LogFiles::StreamLinesWritten() const {
    std::lock_guard lock(mutex);
    return stream_.lines;
}

std::int64_t LogFiles::FailedLines() const {
    std::lock_guard lock(mutex);
    return failedLines_;
}

}  // namespace quorvel
