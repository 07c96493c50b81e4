// The POCSAG message and stream logs: names, headers, line formats, and what
// happens when a log cannot be created or written.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "core/logfile.h"
#include "test_support.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct TempDir {
    fs::path path;
    TempDir() {
        char name[] = "/tmp/quorvel-logtest-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() { fs::remove_all(path); }
};

const DateTime kLocal{2024, 5, 6, 14, 3, 7, 0};
const DateTime kUtc{2024, 5, 6, 12, 3, 7, 0};

TEST(LogFiles, NamesHeadersAndLinesByteForByte) {
    TempDir dir;
    FixedClock clock(kLocal, kUtc);
    LogFiles logs(clock);
    logs.SetFolder(dir.path.string());
    ASSERT_TRUE(logs.MessageLog(laOpen)) << logs.LastError();
    ASSERT_TRUE(logs.StreamLog(laOpen)) << logs.LastError();
    EXPECT_TRUE(logs.MessageLogOpen());
    EXPECT_EQ(logs.MessageLogData.open, 1);
    EXPECT_EQ(logs.StreamLogData.open, 1);

    auto& m = logs.MessageLogData;
    m.beginTime = "14:03:01";
    m.endTime = "14:03:02";
    m.address = 80;
    m.function = 0;
    m.messageType = "Beep";
    EXPECT_TRUE(logs.MessageLog(laWrite));
    m.address = 4711;
    m.function = 1;
    m.crcErrors = 2;
    m.numericText = "0815 4711 " + std::string(6, ' ');
    m.alphaText = "<NUL>x";
    m.messageType = "Num?|Alpha?";
    EXPECT_TRUE(logs.MessageLog(laWrite));
    EXPECT_EQ(m.numericText, "");
    EXPECT_EQ(m.alphaText, "");
    EXPECT_EQ(m.crcErrors, 0);
    m.address = 1234567;
    m.function = 3;
    m.numericText = "01234567890123456789012      ";  // longer than 20: not cut
    m.alphaText = "\xC4rger";
    m.messageType = "AlphaNum";
    EXPECT_TRUE(logs.MessageLog(laWrite));

    auto& s = logs.StreamLogData;
    s = {3, 12, 40, 4, 2722, 1200.004, "14:03:00", "14:03:09", s.folder, s.open};
    EXPECT_TRUE(logs.StreamLog(laWrite));
    EXPECT_EQ(logs.MessageLinesWritten(), 3);
    EXPECT_EQ(logs.StreamLinesWritten(), 1);
    EXPECT_TRUE(logs.MessageLog(laClose));
    EXPECT_TRUE(logs.StreamLog(laClose));
    EXPECT_FALSE(logs.MessageLogOpen());
    EXPECT_EQ(logs.StreamLogData.open, 0);

    const fs::path messagePath = dir.path / "POCSAG-Decoder-Messages-Log 2024_05_06 14-03-07.txt";
    const fs::path streamPath = dir.path / "POCSAG-Decoder-Stream-Log 2024_05_06 12-03-07.txt";
    EXPECT_EQ(logs.MessageLogPath(), messagePath.string());
    EXPECT_EQ(ReadFile(messagePath),
              "POCSAG Decoder https://quorvel.example.org/\r\n"
              "Starttime  2024-05-06 14:03:07\r\n"
              "\r\n"
              "timebegin   timeend   address   function   CRCerrors   messagetype       message\r\n"
              "\r\n"
              " 14:03:01  14:03:02   0000080          0           0   Beep              \r\n"
              " 14:03:01  14:03:02   0004711          1           2   Num?|Alpha?       0815 4711              <NUL>x\r\n"
              " 14:03:01  14:03:02   1234567          3           0   AlphaNum          "
              "01234567890123456789012         \xC4rger\r\n");
    EXPECT_EQ(ReadFile(streamPath),
              "POCSAG Decoder https://quorvel.example.org/\r\n"
              "Starttime  2024-05-06 14:03:07\r\n"
              "\r\n"
              "timebegin   timeend     idles     syncs     speed    counts     fails   crcerrors\r\n"
              "\r\n"
              " 14:03:00  14:03:09        40         4   1200.00      2722        12           3\r\n");
}

TEST(LogFiles, ReopeningWithinOneSecondKeepsTheEarlierFiles) {
    TempDir dir;
    FixedClock clock(kLocal, kUtc);
    LogFiles logs(clock);
    logs.SetFolder(dir.path.string() + "/");
    ASSERT_TRUE(logs.MessageLog(laOpen));
    logs.MessageLogData.messageType = "Beep";
    ASSERT_TRUE(logs.MessageLog(laWrite));
    logs.MessageLog(laClose);
    const fs::path first = dir.path / "POCSAG-Decoder-Messages-Log 2024_05_06 14-03-07.txt";
    const std::string before = ReadFile(first);

    ASSERT_TRUE(logs.MessageLog(laOpen));
    ASSERT_TRUE(logs.MessageLog(laOpen));  // opening an open log starts the next file
    logs.MessageLog(laClose);
    EXPECT_EQ(ReadFile(first), before);
    EXPECT_TRUE(fs::exists(dir.path / "POCSAG-Decoder-Messages-Log 2024_05_06 14-03-07 (2).txt"));
    EXPECT_TRUE(fs::exists(dir.path / "POCSAG-Decoder-Messages-Log 2024_05_06 14-03-07 (3).txt"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator{}), 3);
}

TEST(LogFiles, ALogThatCannotBeCreatedSaysSo) {
    FixedClock clock(kLocal, kUtc);
    LogFiles logs(clock);
    logs.SetFolder("/nonexistent-quorvel-folder/log");
    EXPECT_FALSE(logs.MessageLog(laOpen));
    EXPECT_FALSE(logs.StreamLog(laOpen));
    EXPECT_EQ(logs.MessageLogData.open, 0);
    EXPECT_EQ(logs.StreamLogData.open, 0);
    EXPECT_FALSE(logs.MessageLogOpen());
    EXPECT_NE(logs.LastError().find("/nonexistent-quorvel-folder/log/POCSAG-Decoder-Stream-Log"), std::string::npos);
    EXPECT_FALSE(logs.MessageLog(laWrite));  // nothing open: not written
    EXPECT_EQ(logs.MessageLinesWritten(), 0);
    EXPECT_TRUE(logs.MessageLog(7));  // no such action: nothing happens
}

TEST(LogFiles, LinesThatDoNotFitAreCountedAsFailed) {
    TempDir dir;
    FixedClock clock(kLocal, kUtc);
    LogFiles logs(clock);
    logs.SetFolder(dir.path.string());
    // A file size limit stands in for a full disk.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 400;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool opened = logs.MessageLog(laOpen);
    logs.MessageLogData.messageType = "AlphaNum";
    logs.MessageLogData.alphaText = std::string(150, 'x');
    const bool first = logs.MessageLog(laWrite);
    logs.MessageLogData.alphaText = std::string(150, 'y');
    const bool second = logs.MessageLog(laWrite);
    setrlimit(RLIMIT_FSIZE, &old);
    ASSERT_TRUE(opened) << logs.LastError();
    EXPECT_TRUE(first);
    EXPECT_FALSE(second);
    EXPECT_EQ(logs.MessageLinesWritten(), 1);
    EXPECT_EQ(logs.FailedLines(), 1);
    EXPECT_NE(logs.LastError().find("cannot write " + logs.MessageLogPath()), std::string::npos);
    // With room again, the next line starts on a line of its own: nothing of the
    // line that did not fit stays in the file.
    logs.MessageLogData.alphaText = std::string(150, 'z');
    EXPECT_TRUE(logs.MessageLog(laWrite));
    std::ifstream in(logs.MessageLogPath(), std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content.find("yyyy"), std::string::npos);
    const std::size_t z = content.find(std::string(150, 'z'));
    ASSERT_NE(z, std::string::npos);
    const std::size_t x = content.find(std::string(150, 'x'));
    ASSERT_NE(x, std::string::npos);
    // The z line is the x line with other letters, right after it.
    const std::size_t xStart = content.rfind("\r\n", x) + 2;
    const std::size_t zStart = content.rfind("\r\n", z) + 2;
    EXPECT_EQ(content.substr(zStart, z - zStart), content.substr(xStart, x - xStart));
    EXPECT_EQ(zStart, x + 152);
    EXPECT_EQ(content.substr(content.size() - 2), "\r\n");
    EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), 7);  // five header lines, x and z
    logs.MessageLog(laClose);
}

TEST(DecodeLogDir, AFullDiskIsReportedWhenItHappensAndEndsWithStatus1) {
    TempDir dir;
    const std::string calls = (dir.path / "calls.wav").string();
    const auto gen = testing::RunCommand(std::string(QUORVEL_GEN_PATH) + " pocsag -o '" + calls +
                                         "' --call '1234567,3,alpha,A call for the log' --repeat 12 --gap 0.5");
    ASSERT_EQ(gen.status, 0) << gen.err;
    // 512 bytes for files (the shell's unit): the headers fit, a dozen call lines do not.
    const auto r = testing::RunCommand("ulimit -f 1; exec " + std::string(QUORVEL_DECODE_PATH) + " --log-dir '" +
                                       (dir.path / "logs").string() + "' '" + calls + "'");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("log line(s) not written: cannot write " + (dir.path / "logs").string()), std::string::npos)
        << r.err;
    // Reported when it happened, between the lines of the run, not once at its end.
    EXPECT_GE(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
    EXPECT_NE(r.out.find("AlphaNum"), std::string::npos) << "decoding goes on";
    const auto empty = testing::RunCommand(std::string(QUORVEL_DECODE_PATH) + " --log-dir '' /dev/null");
    EXPECT_EQ(empty.status, 2);
    EXPECT_NE(empty.err.find("--log-dir needs a folder"), std::string::npos) << empty.err;
}

TEST(DecodeLogDir, UnusableFolderFailsWithAMessage) {
    TempDir dir;
    const fs::path blocker = dir.path / "file";
    std::ofstream(blocker) << "x";
    const auto r = testing::RunCommand(std::string(QUORVEL_DECODE_PATH) + " -t raw -r 11025 --log-dir '" +
                                       (blocker / "log").string() + "' /dev/null");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot open the POCSAG logs"), std::string::npos) << r.err;

    const fs::path logDir = dir.path / "log";
    const auto ok = testing::RunCommand(std::string(QUORVEL_DECODE_PATH) + " -t raw -r 11025 --log-dir '" +
                                        logDir.string() + "' /dev/null");
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(std::distance(fs::directory_iterator(logDir), fs::directory_iterator{}), 2);
}

}  // namespace
}  // namespace quorvel
