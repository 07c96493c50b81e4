// The window thread opens and closes the POCSAG logs while the capture thread
// fills the records and writes lines: no line lost or torn, no data race.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/logfile.h"

namespace quorvel {
namespace {

TEST(LogFilesThreads, OpenCloseWhileLinesAreWritten) {
    char name[] = "/tmp/quorvel-tsan-log-XXXXXX";
    const std::filesystem::path dir = mkdtemp(name);
    FixedClock clock(DateTime{2024, 5, 6, 14, 3, 7, 0});
    LogFiles logs(clock);
    logs.SetFolder(dir.string());
    std::atomic<bool> done{false};
    std::atomic<int> written{0};
    std::atomic<int> cycles{0};
    std::thread capture([&] {
        for (int i = 0; i < 3000 || cycles.load() < 100; ++i) {
            std::lock_guard lock(logs.mutex);
            auto& d = logs.MessageLogData;
            d.address = i;
            d.messageType = "AlphaNum";
            d.alphaText = "line " + std::to_string(i);
            if (d.open == 1 && logs.MessageLog(laWrite)) ++written;
        }
        done = true;
    });
    int opens = 0;
    while (!done && cycles.load() < 200) {
        if (logs.MessageLog(laOpen)) ++opens;
        std::this_thread::yield();
        logs.MessageLog(laClose);
        ++cycles;
    }
    capture.join();
    EXPECT_GE(opens, 100);
    // Every line that was reported written is in one of the files, whole.
    int lines = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::string line;
        while (std::getline(in, line)) {
            if (line.find("AlphaNum") != std::string::npos) {
                ++lines;
                EXPECT_NE(line.find("   line "), std::string::npos) << line;
                EXPECT_EQ(line.back(), '\r');
            }
        }
    }
    EXPECT_EQ(lines, written.load());
    EXPECT_EQ(logs.FailedLines(), 0);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace quorvel
