#include "container_length.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>

namespace quorvel::tools {

namespace {

bool ReadAt(int fd, std::uint64_t offset, void* out, std::size_t n) {
    return ::pread(fd, out, n, static_cast<off_t>(offset)) == static_cast<ssize_t>(n);
}

std::optional<std::uint64_t> FileSize(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

std::uint32_t Le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

std::optional<WavDataChunk> ReadWavDataChunk(int fd) {
    const auto size = FileSize(fd);
    unsigned char head[12];
    if (!size || !ReadAt(fd, 0, head, sizeof head)) return std::nullopt;
    if (std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0) return std::nullopt;
    // Walk the chunks up to "data"; a few hundred at most, as no real file has more.
    std::uint64_t at = 12;
    for (int chunks = 0; chunks < 1000 && at + 8 <= *size; ++chunks) {
        unsigned char chunk[8];
        if (!ReadAt(fd, at, chunk, sizeof chunk)) return std::nullopt;
        const std::uint32_t length = Le32(chunk + 4);
        if (std::memcmp(chunk, "data", 4) == 0) {
            if (length == 0 || length == 0xFFFFFFFFu) return std::nullopt;
            return WavDataChunk{length, *size - (at + 8)};
        }
        at += 8 + static_cast<std::uint64_t>(length) + (length & 1u);
    }
    return std::nullopt;
}

std::optional<std::string> CheckOggEnd(int fd) {
    const auto size = FileSize(fd);
    if (!size) return std::nullopt;
    std::uint64_t at = 0;
    bool first = true;
    unsigned char lastFlags = 0;
    while (at < *size) {
        // A page: "OggS", version, flags, granule (8), serial (4), sequence (4),
        // checksum (4), segment count, the segment table, then the body.
        std::array<unsigned char, 27> header{};
        if (!ReadAt(fd, at, header.data(), header.size())) {
            if (first) return std::nullopt;
            return std::string("the last Ogg page is cut short");
        }
        if (std::memcmp(header.data(), "OggS", 4) != 0) {
            if (first) return std::nullopt;
            return std::string("bytes that are no Ogg page follow the last page");
        }
        first = false;
        std::array<unsigned char, 255> segments{};
        const std::size_t count = header[26];
        if (!ReadAt(fd, at + 27, segments.data(), count)) return std::string("the last Ogg page is cut short");
        std::uint64_t body = 0;
        for (std::size_t k = 0; k < count; ++k) body += segments[k];
        lastFlags = header[5];
        at += 27 + count + body;
    }
    if (at > *size) return std::string("the last Ogg page is cut short");
    if ((lastFlags & 0x04) == 0) return std::string("the last Ogg page does not end the stream (cut short?)");
    return std::string();
}

}  // namespace quorvel::tools
