#include "text_output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "core/common.h"

namespace quorvel::tools {

bool Output::Write(const std::string& text) {
    if (failed_) return false;
    if (text.empty()) return true;
    const std::string* bytes = &text;
    if (!rawText_) {
        converted_ = Cp1252LinesToUtf8(text);
        bytes = &converted_;
    }
    errno = 0;
    if (std::fwrite(bytes->data(), 1, bytes->size(), stdout) != bytes->size() || (flush_ && std::fflush(stdout) != 0))
        return Fail();
    return true;
}

bool Output::Finish() {
    if (failed_) return false;
    errno = 0;
    if (std::fflush(stdout) != 0) return Fail();
    return true;
}

bool Output::Fail() {
    const int error = errno != 0 ? errno : EIO;
    std::cerr << program_ << ": cannot write to standard output: " << std::strerror(error) << "\n";
    failed_ = true;
    return false;
}

void LogWatch::Check() {
    if (logs_ == nullptr) return;
    const std::int64_t failed = logs_->FailedLines();
    if (failed == reported_) return;
    std::cerr << program_ << ": " << (failed - reported_) << " log line(s) not written: " << logs_->LastError() << "\n";
    reported_ = failed;
}

}  // namespace quorvel::tools
