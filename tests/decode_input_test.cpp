// quorvel-decode on damaged, cut-short, piped and absurd inputs: it decodes what
// there is, says on standard error what was wrong, and keeps its memory bounded
// whatever a header or -r claims.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "test_support.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using testing::RunCommand;

const std::string kDecode = QUORVEL_DECODE_PATH;
const std::string kGen = QUORVEL_GEN_PATH;


void WriteAll(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// Re-encodes a WAV file with the sound-file library (FLAC or Ogg Vorbis).
void Encode(const std::string& from, const std::string& to, int format) {
    SF_INFO in{};
    SNDFILE* source = sf_open(from.c_str(), SFM_READ, &in);
    ASSERT_NE(source, nullptr);
    SF_INFO out = in;
    out.format = format;
    SNDFILE* target = sf_open(to.c_str(), SFM_WRITE, &out);
    ASSERT_NE(target, nullptr) << sf_strerror(nullptr);
    std::vector<double> frames(4096 * static_cast<std::size_t>(in.channels));
    sf_count_t n;
    while ((n = sf_readf_double(source, frames.data(), 4096)) > 0) sf_writef_double(target, frames.data(), n);
    sf_close(source);
    sf_close(target);
}

class DecodeInput : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("quorvel-input-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    // Two POCSAG transmissions, "First" then, 4 s later, "Second", mono 11025 Hz.
    std::string TwoCalls() {
        const std::string path = Path("calls.wav");
        const auto r = RunCommand(kGen + " pocsag -o " + path +
                                  " --channels 1 --signal-channel 1 --bitrate 1200 --snr 30 --lead 0.3 --tail 1.5 --gap 4"
                                  " --call 1234567,3,alpha,First --call next --call 1050624,3,alpha,Second");
        EXPECT_EQ(r.status, 0) << r.err;
        return path;
    }

    fs::path dir_;
};

// Peak resident memory of a command in kB, through /usr/bin/time.
long PeakKilobytes(const std::string& command, testing::CommandResult& result) {
    const std::string file = (fs::temp_directory_path() / ("quorvel-rss-" + std::to_string(::getpid()))).string();
    result = RunCommand("/usr/bin/time -f %M -o " + file + " " + command);
    const std::string text = testing::ReadFile(file);
    fs::remove(file);
    return text.empty() ? -1 : std::stol(text.substr(text.find_last_of('\n', text.size() - 2) + 1));
}

TEST_F(DecodeInput, DamagedCutShortAndPipedFilesDecodeWhatTheyHoldAndSaySo) {
    const std::string wav = TwoCalls();
    const std::string wavBytes = testing::ReadFile(wav);
    const std::string flac = Path("calls.flac");
    const std::string ogg = Path("calls.ogg");
    Encode(wav, flac, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    Encode(wav, ogg, SF_FORMAT_OGG | SF_FORMAT_VORBIS);
    const std::string flacBytes = testing::ReadFile(flac);
    const std::string oggBytes = testing::ReadFile(ogg);
    // The gap between the calls lies at about 45 % of each file.
    const auto cut = [](const std::string& bytes) { return bytes.substr(0, bytes.size() * 45 / 100); };
    std::string damaged = flacBytes;
    for (std::size_t k = 0; k < 200; ++k) damaged[damaged.size() * 40 / 100 + k] ^= 0x5A;
    WriteAll(Path("cut.wav"), cut(wavBytes));
    WriteAll(Path("cut.ogg"), cut(oggBytes));
    WriteAll(Path("cut.flac"), cut(flacBytes));
    WriteAll(Path("damaged.flac"), damaged);

    struct Case {
        std::string input;  // a shell redirection or pipe into the program, or a file name
        bool second;        // the second call decodes
        std::string warning;  // a part of the warning, empty: none
    };
    const std::vector<Case> cases = {
        {wav, true, ""},
        {flac, true, ""},
        {ogg, true, ""},
        {"- < " + flac, true, ""},
        {"- < " + wav, true, ""},
        {"cat " + flac + " |", true, ""},
        {"cat " + wav + " |", true, ""},
        {"cat " + ogg + " |", true, ""},
        {Path("damaged.flac"), true, "decoding goes on"},
        {"cat " + Path("damaged.flac") + " |", true, "decoding goes on"},
        {Path("cut.wav"), false, "frames its header claims"},
        {"cat " + Path("cut.wav") + " |", false, "frames its header claims"},
        {Path("cut.flac"), false, "frames its header claims"},
        {"cat " + Path("cut.flac") + " |", false, "frames its header claims"},
        {Path("cut.ogg"), false, "Ogg page"},
        {"fifo " + wav, true, ""},  // a named pipe given by name is read once
    };
    for (const Case& c : cases) {
        const std::string fifo = Path("fifo");
        const std::string command =
            c.input.ends_with("|")      ? c.input + " " + kDecode + " -d pocsag -"
            : c.input.starts_with("fifo ") ? "rm -f " + fifo + "; mkfifo " + fifo + " && (cat " + c.input.substr(5) +
                                                 " > " + fifo + " &) && " + kDecode + " -d pocsag " + fifo
                                           : kDecode + " -d pocsag " + c.input;
        const auto r = RunCommand(command);
        EXPECT_EQ(r.status, 0) << command << "\n" << r.err;
        EXPECT_NE(r.out.find("First"), std::string::npos) << command << "\n" << r.out << r.err;
        EXPECT_EQ(r.out.find("Second") != std::string::npos, c.second) << command << "\n" << r.out;
        if (c.warning.empty()) {
            EXPECT_TRUE(r.err.empty()) << command << "\n" << r.err;
        } else {
            EXPECT_NE(r.err.find("quorvel-decode: warning: "), std::string::npos) << command << "\n" << r.err;
            EXPECT_NE(r.err.find(c.warning), std::string::npos) << command << "\n" << r.err;
        }
    }
}

TEST_F(DecodeInput, RatesTooLowAreRefusedAndMemoryStaysBounded) {
    // A short WAV whose header says 1 Hz (22 KB of samples: 6 hours at that rate).
    std::string bytes = testing::ReadFile(TwoCalls()).substr(0, 22044);
    const auto put32 = [&bytes](std::size_t at, std::uint32_t v) {
        for (int k = 0; k < 4; ++k) bytes[at + static_cast<std::size_t>(k)] = static_cast<char>(v >> (8 * k));
    };
    put32(4, 22036);
    put32(24, 1);  // sample rate
    put32(28, 2);  // bytes per second
    put32(40, 22000);
    WriteAll(Path("1hz.wav"), bytes);
    WriteAll(Path("noise.raw"), std::string(20000000, '\x11'));  // 10 s at 1 MHz

#if defined(QUORVEL_SANITIZED)
    const long limit = 250000;  // the sanitizer's own shadow memory comes on top
#else
    const long limit = 50000;
#endif
    struct Case {
        std::string args;
        int status;
    };
    const std::vector<Case> cases = {
        {Path("1hz.wav"), 1},
        {"- < " + Path("1hz.wav"), 1},
        {"-t raw -r 1 " + Path("1hz.wav"), 1},
        {"-t raw -r 3999 - < " + Path("1hz.wav"), 1},
        {"-t raw -r 4000 -d none " + Path("noise.raw"), 0},
        {"-t raw -r 1000000 -c 2 " + Path("noise.raw"), 0},
    };
    for (const Case& c : cases) {
        testing::CommandResult r;
        const long peak = PeakKilobytes(kDecode + " " + c.args, r);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
        EXPECT_GT(peak, 0) << c.args;
        EXPECT_LT(peak, limit) << c.args;
        if (c.status == 1) {
            EXPECT_NE(r.err.find("too low"), std::string::npos) << c.args << "\n" << r.err;
            EXPECT_NE(r.err.find("4000 Hz"), std::string::npos) << c.args << "\n" << r.err;
            EXPECT_TRUE(r.out.empty()) << c.args;
        }
    }
}

}  // namespace
}  // namespace quorvel
