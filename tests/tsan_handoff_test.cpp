// The text hand-off and the status lines between the capture thread and a
// window-side reader, on two real threads (also run under ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "core/processing.h"

namespace quorvel {
namespace {

TEST(Concurrency, EveryPublishedLineIsTakenOnceAndInOrder) {
    FixedClock clock;
    SharedContext ctx(clock);
    constexpr int kBlocks = 20000;
    std::atomic<bool> producerDone{false};
    std::string expected;
    for (int i = 0; i < kBlocks; ++i) expected += "block " + std::to_string(i) + "\r\n";

    std::thread capture([&] {
        for (int i = 0; i < kBlocks; ++i) {
            ctx.MessageText += "block " + std::to_string(i) + "\r\n";
            ctx.PublishText();
        }
        // Keep publishing empty blocks until the reader has everything.
        while (!producerDone.load()) {
            ctx.PublishText();
            std::this_thread::yield();
        }
    });
    std::string received;
    std::string taken;
    while (received.size() < expected.size()) {
        if (ctx.TakeText(taken)) received += taken;
        std::this_thread::yield();
    }
    producerDone = true;
    capture.join();
    EXPECT_EQ(received, expected);
}

TEST(Concurrency, StatusLinesAreReadWhole) {
    StatusLine line;
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop.load(); ++i) line.Set(std::string(i % 2 == 0 ? 64 : 40, i % 2 == 0 ? 'a' : 'b'));
    });
    for (int i = 0; i < 20000; ++i) {
        const std::string text = line.Get();
        if (text.empty()) continue;
        ASSERT_TRUE(text == std::string(64, 'a') || text == std::string(40, 'b')) << text;
    }
    stop = true;
    writer.join();
}

}  // namespace
}  // namespace quorvel
