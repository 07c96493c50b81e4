// quorvel-gen as a user runs it: numbers that are no numbers, signals longer
// than memory or a WAV file allows, writing into a pipe, a mono file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "test_support.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using testing::RunCommand;

const std::string kDecode = QUORVEL_DECODE_PATH;
const std::string kGen = QUORVEL_GEN_PATH;

class GenCli : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("quorvel-gen-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    fs::path dir_;
};

TEST_F(GenCli, NumbersThatAreNotFiniteAndSignalsTooLongAreRefused) {
    const std::string call = " pocsag --call 1234567,3,alpha,Test";
    struct Case {
        std::string args;
        std::string message;  // a part of the one line on standard error
    };
    const std::vector<Case> cases = {
        {call + " --dc nan", "finite"},
        {call + " --dc inf", "finite"},
        {call + " --snr nan", "finite"},
        {call + " --snr inf", "finite"},
        {call + " --snr -inf", "finite"},
        {call + " --level nan", "finite"},
        {call + " --lead nan", "finite"},
        {call + " --bitrate nan", "finite"},
        {" sine --frequency nan", "finite"},
        {" tones -s 12345 --pause-ms nan", "finite"},
        {" fms --gap-ms inf", "finite"},
        // 36000 s at 384 kHz, and 1000 repeats an hour apart: far past 4 GiB.
        {" sine --seconds 36000 --rate 384000", "4 GiB"},
        {call + " --repeat 1000 --gap 3600", "4 GiB"},
        // Bit errors: CODEWORD:BIT[,BIT...], bits 0..31, codewords of the transmission.
        {call + " --flip 5", "CODEWORD:BIT"},
        {call + " --flip x:3", "CODEWORD:BIT"},
        {call + " --flip 3:32", "CODEWORD:BIT"},
        {call + " --flip 3:-1", "CODEWORD:BIT"},
        {call + " --flip 3:1,", "CODEWORD:BIT"},
        {call + " --flip all:", "CODEWORD:BIT"},
        {call + " --flip 34:1", "beyond the last (33)"},  // two batches: frame 7 and on
    };
    for (const Case& c : cases) {
        const std::string out = Path("out.wav");
        fs::remove(out);
        const auto r = RunCommand(kGen + c.args + " -o " + out);
        EXPECT_EQ(r.status, 2) << c.args << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << "\n" << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
        EXPECT_FALSE(fs::exists(out)) << c.args;
    }
}

TEST_F(GenCli, StandardOutputGetsTheSameBytesAsAFileAndLongSignalsStream) {
    for (const std::string& args : {std::string(" sine --seconds 2 --snr 10 --dc 200 --channels 1"),
                                    std::string(" pocsag --call 1234567,3,alpha,Test --snr 15 --repeat 2"),
                                    std::string(" tones -s 12345 -s 54321 --snr 20 --channels 2 --signal-channel 1")}) {
        const auto file = RunCommand(kGen + args + " -o " + Path("file.wav"));
        ASSERT_EQ(file.status, 0) << args << "\n" << file.err;
        const auto piped = RunCommand(kGen + args + " -o - | cat > " + Path("piped.wav"));
        ASSERT_EQ(piped.status, 0) << args << "\n" << piped.err;
        EXPECT_EQ(testing::ReadFile(Path("piped.wav")), testing::ReadFile(Path("file.wav"))) << args;
    }
    // Straight into the decoder.
    const auto decoded =
        RunCommand(kGen + " pocsag --call 1234567,3,alpha,Piped --snr 25 -o - | " + kDecode + " -d pocsag -");
    EXPECT_EQ(decoded.status, 0) << decoded.err;
    EXPECT_NE(decoded.out.find("Piped"), std::string::npos) << decoded.out;

    // Five minutes at 48 kHz (and the default half second before and after) in
    // little memory.
    const std::string rss = Path("rss");
    const auto longOne = RunCommand("/usr/bin/time -f %M -o " + rss + " " + kGen +
                                    " sine --seconds 300 --rate 48000 --channels 1 --snr 20 -o - | wc -c");
    ASSERT_EQ(longOne.status, 0) << longOne.err;
    EXPECT_EQ(std::stoll(longOne.out), 44 + 2LL * 301 * 48000);
#if defined(QUORVEL_SANITIZED)
    EXPECT_LT(std::stol(testing::ReadFile(rss)), 250000);
#else
    EXPECT_LT(std::stol(testing::ReadFile(rss)), 50000);
#endif
}

TEST_F(GenCli, TheSignalChannelFollowsTheChannelCount) {
    struct Case {
        std::string args;
        int channels;
    };
    for (const Case& c : {Case{"--channels 1", 1}, Case{"", 2}, Case{"--channels 3", 3}}) {
        const std::string out = Path("mono.wav");
        const auto r = RunCommand(kGen + " pocsag --call 1234567,3,alpha,Mono --snr 25 " + c.args + " -o " + out);
        ASSERT_EQ(r.status, 0) << c.args << "\n" << r.err;
        EXPECT_EQ(static_cast<unsigned char>(testing::ReadFile(out).at(22)), c.channels) << c.args;
        // The decoder takes the second of two or more channels, the only one of one.
        const auto decoded = RunCommand(kDecode + " -d pocsag " + out);
        EXPECT_NE(decoded.out.find("Mono"), std::string::npos) << c.args << "\n" << decoded.out;
    }
    const auto wrong = RunCommand(kGen + " sine --channels 1 --signal-channel 2 -o " + Path("x.wav"));
    EXPECT_EQ(wrong.status, 2);
}

}  // namespace
}  // namespace quorvel
