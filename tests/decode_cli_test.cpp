// quorvel-decode as a user runs it: files at other rates and channel counts,
// raw samples on standard input, and every kind of bad input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "test_support.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using testing::RunCommand;

const std::string kDecode = QUORVEL_DECODE_PATH;
const std::string kGen = QUORVEL_GEN_PATH;

class DecodeCli : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("quorvel-cli-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    // A 700 Hz sine with a DC offset, 3 s, written by quorvel-gen.
    std::string Sine(const std::string& name, int rate, int channels) {
        const std::string path = Path(name);
        const int signalChannel = channels >= 2 ? 2 : 1;
        const auto r = RunCommand(kGen + " sine -o " + path + " --rate " + std::to_string(rate) + " --channels " +
                                  std::to_string(channels) + " --signal-channel " + std::to_string(signalChannel) +
                                  " --frequency 700 --seconds 3 --level 8000 --dc 500 --lead 0 --tail 0");
        EXPECT_EQ(r.status, 0) << r.err;
        return path;
    }

    static std::map<std::string, double> Stats(const std::string& out) {
        std::map<std::string, double> values;
        std::istringstream lines(out);
        std::string line;
        while (std::getline(lines, line)) {
            const auto colon = line.find(": ");
            if (colon != std::string::npos) values[line.substr(0, colon)] = std::stod(line.substr(colon + 2));
        }
        return values;
    }

    fs::path dir_;
};

TEST_F(DecodeCli, OtherRatesAndChannelCountsGiveTheSameStatistics) {
    const auto reference = RunCommand(kDecode + " --stats " + Sine("ref.wav", 11025, 2));
    ASSERT_EQ(reference.status, 0) << reference.err;
    const auto want = Stats(reference.err);
    ASSERT_EQ(want.at("blocks"), 33);  // 33075 samples, the last block padded
    EXPECT_NEAR(want.at("AcLevel"), 8000.0 * std::pow(0.9999, 717), 300.0);  // 717 padded zeros decay it
    for (int rate : {8000, 22050, 48000}) {
        for (int channels : {1, 2}) {
            std::ostringstream nameStream;
            nameStream << "s" << rate << "_" << channels << ".wav";
            const std::string name = nameStream.str();
            const auto got = RunCommand(kDecode + " --stats " + Sine(name, rate, channels));
            ASSERT_EQ(got.status, 0) << name << ": " << got.err;
            const auto have = Stats(got.err);
            EXPECT_NEAR(have.at("blocks"), want.at("blocks"), 1.0) << name;
            EXPECT_NEAR(have.at("AcLevel"), want.at("AcLevel"), 0.02 * want.at("AcLevel")) << name;
            EXPECT_NEAR(have.at("DcOffset"), want.at("DcOffset"), 5.0) << name;
        }
    }
}

TEST_F(DecodeCli, RawSamplesFromStandardInputAndAFrameCutShort) {
    // 1024 stereo frames of +100 / -100 and one half frame at the end.
    const std::string raw = Path("in.raw");
    {
        std::ofstream f(raw, std::ios::binary);
        for (int i = 0; i < 1024; ++i) {
            const std::int16_t frame[2] = {0, static_cast<std::int16_t>(i % 2 == 0 ? 100 : -100)};
            f.write(reinterpret_cast<const char*>(frame), sizeof frame);
        }
        f.put(1).put(2);
    }
    const auto r = RunCommand("cat " + raw + " | " + kDecode + " -t raw -r 11025 -c 2 --stats -");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto stats = Stats(r.err);
    EXPECT_EQ(stats.at("blocks"), 1);
    EXPECT_NEAR(stats.at("AcLevel"), 100.0, 2.0);  // the second channel was decoded
    // A decoder list directly before the input must not swallow it.
    const auto first = RunCommand(kDecode + " -t raw -r 11025 -c 2 --channel 1 --stats -d none " + raw);
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(Stats(first.err).at("AcLevel"), 1.0);  // the silent first channel
}

TEST_F(DecodeCli, UnreadableInputExitsWithOneAndNothingOnStandardOutput) {
    std::ofstream(Path("text.wav")) << "this is not audio at all, just some words in a file\n";
    const std::string sine = Sine("good.wav", 11025, 2);
    {
        std::ifstream in(sine, std::ios::binary);
        std::string head(30, '\0');
        in.read(head.data(), 30);
        std::ofstream(Path("header.wav"), std::ios::binary) << head;
    }
    for (const std::string& input : {Path("missing.wav"), Path("text.wav"), Path("header.wav"), dir_.string()}) {
        const auto r = RunCommand(kDecode + " " + input);
        EXPECT_EQ(r.status, 1) << input;
        EXPECT_TRUE(r.out.empty()) << input;
        EXPECT_NE(r.err.find("quorvel-decode: "), std::string::npos) << input;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
    }
    const auto raw = RunCommand(kDecode + " -t raw -r 11025 " + Path("missing.raw"));
    EXPECT_EQ(raw.status, 1);
}

TEST_F(DecodeCli, WrongUsageExitsWithTwo) {
    const std::string sine = Sine("good.wav", 11025, 1);
    const std::vector<std::string> cases = {
        "--bogus " + sine,
        "--channel 2 " + sine,               // a mono file has no second channel
        "-t raw -r 0 -",                      // no rate
        "-t raw -r 1e9 -",                    // absurd rate
        "-t raw -r 11025 -c 0 -",             // zero channels
        "-t raw -",                           // raw without a rate
        "--table xyz " + sine,
        "--characteristic tv " + sine,
        "--decoders pocsag,radio " + sine,
        "--clock input --start-time 2024-13-01T00:00:00 " + sine,
        "--start-time 2024-05-06T14:00:00 " + sine,  // a start time without --clock input
        "--clock input --device 0",           // live input keeps the wall clock
        "",                                   // no input
    };
    for (const std::string& args : cases) {
        const auto r = RunCommand(kDecode + " " + args + " </dev/null");
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_TRUE(r.out.empty()) << args;
        EXPECT_FALSE(r.err.empty()) << args;
    }
}

// A recording of a call, written by quorvel-gen.
std::string Call(const std::string& path, const std::string& text) {
    const auto r = RunCommand(kGen + " pocsag -o " + path + " --call '1234567,3,alpha," + text + "' --lead 2.5");
    EXPECT_EQ(r.status, 0) << r.err;
    return path;
}

TEST_F(DecodeCli, SeveralFilesEachFromAFreshStartAndOneThatFailsDoesNotStopTheOthers) {
    const std::string a = Call(Path("a.wav"), "first");
    const std::string b = Call(Path("b.wav"), "second");
    std::ofstream(Path("bad.wav")) << "not a sound file\n";
    // Stamped by the input clock: two runs of the wall clock may straddle a second.
    const auto alone = RunCommand(kDecode + " --clock input " + b);
    const auto r = RunCommand(kDecode + " --clock input " + a + " " + Path("bad.wav") + " " + b);
    EXPECT_EQ(r.status, 1) << "one of them failed";
    EXPECT_NE(r.err.find("bad.wav"), std::string::npos) << r.err;
    const std::size_t first = r.out.find("AlphaNum:\tfirst");
    ASSERT_NE(first, std::string::npos) << r.out;
    // The second file decodes as it does alone: nothing of the first carries over.
    EXPECT_EQ(r.out.substr(r.out.find("1234567:", first)), alone.out);

    // -r without -t raw on a file that is not a sound file: a hint.
    const auto hint = RunCommand(kDecode + " -r 8000 " + Path("bad.wav"));
    EXPECT_EQ(hint.status, 1);
    EXPECT_NE(hint.err.find("add -t raw"), std::string::npos) << hint.err;
}

TEST_F(DecodeCli, OutputThatCannotBeWrittenEndsTheRunWithStatusOne) {
    const std::string a = Call(Path("a.wav"), "lost");
    const auto r = RunCommand(kDecode + " " + a + " >/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot write to standard output"), std::string::npos) << r.err;
}

TEST_F(DecodeCli, InputClockStampsThePositionInTheRecording) {
    const std::string a = Call(Path("a.wav"), "stamped");
    // The transmission starts 2.2 s in and lasts 1.4 s at 1200 bit/s.
    const auto r = RunCommand(kDecode + " --clock input " + a);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("00:00:02 - 00:00:03\tidles"), std::string::npos) << r.out;
    const auto later = RunCommand(kDecode + " --clock input --start-time '2024-05-06T14:59:59+02:00' --format json " + a);
    ASSERT_EQ(later.status, 0) << later.err;
    EXPECT_NE(later.out.find("\"time\":\"2024-05-06T15:00:0"), std::string::npos) << later.out;
    EXPECT_NE(later.out.find("+02:00\""), std::string::npos) << later.out;
}

TEST_F(DecodeCli, HelpAndVersion) {
    const auto help = RunCommand(kDecode + " --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("padded"), std::string::npos) << "help says what happens to a partial block";
    const auto version = RunCommand(kDecode + " --version");
    EXPECT_EQ(version.status, 0);
    EXPECT_NE(version.out.find("0.05"), std::string::npos);
}

}  // namespace
}  // namespace quorvel
