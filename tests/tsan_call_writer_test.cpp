// The --db writer thread: calls handed over from the decoding thread are all
// written in their order; while another connection holds the file's lock the
// bounded queue fills and what does not fit is counted lost, never waited for;
// a row the file refuses is reported with its call.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <thread>

#include "station_test_support.h"
#include "store/call_writer.h"

namespace quorvel {
namespace {

using store::CallStore;
using store::CallWriter;
using store::StoredCall;

StoredCall Numbered(int i) {
    StoredCall c;
    c.protocol = "zvei";
    c.address = std::to_string(10000 + i);
    c.json = "{}";
    c.offset = i;
    return c;
}

std::vector<store::CallRow> Rows(const std::string& db) {
    std::string error;
    auto s = CallStore::Open(db, CallStore::Mode::Read, error);
    std::vector<store::CallRow> rows;
    store::CallQuery all;
    all.limit = store::CallQuery::kMaxLimit;
    if (!s || !s->Query(all, rows, error, true)) ADD_FAILURE() << error;
    return rows;
}

TEST(CallWriter, WritesEveryCallInOrderFullQueuesLoseAndRefusalsAreReported) {
    testing::ScratchDir dir("call-writer");
    const std::string db = dir.Path("calls.db");
    std::string error;
    std::atomic<int> reported{0};
    auto open = [&] {
        auto s = CallStore::Open(db, CallStore::Mode::Write, error);
        EXPECT_TRUE(s) << error;
        return s;
    };
    {
        CallWriter writer(open(), [&](const StoredCall&, const std::string&) { ++reported; });
        for (int i = 0; i < 500; ++i) EXPECT_TRUE(writer.Submit(Numbered(i)));
        writer.Drain();
        EXPECT_EQ(writer.Stored(), 500u);
    }
    const auto rows = Rows(db);
    ASSERT_EQ(rows.size(), 500u);
    for (int i = 0; i < 500; ++i) EXPECT_EQ(rows[static_cast<std::size_t>(i)].call.offset, i);

    // The lock held elsewhere: a queue of 8 takes 8 (one of them may be under
    // way already), the rest are lost at once; all that were taken are written
    // once the lock is free.
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    {
        CallWriter writer(open(), [&](const StoredCall&, const std::string&) { ++reported; }, 8);
        int taken = 0;
        for (int i = 0; i < 20; ++i) taken += writer.Submit(Numbered(i)) ? 1 : 0;
        EXPECT_GE(taken, 8);
        EXPECT_LE(taken, 9);
        EXPECT_EQ(writer.Lost(), static_cast<std::uint64_t>(20 - taken));
        EXPECT_EQ(sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
        writer.Drain();
        EXPECT_EQ(writer.Stored(), static_cast<std::uint64_t>(taken));
    }
    sqlite3_close(holder);
    EXPECT_EQ(reported.load(), 0);

    // Refused by the file: reported with the call, the rest written.
    ASSERT_EQ(sqlite3_open(db.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder,
                           "CREATE TRIGGER refuse BEFORE INSERT ON calls WHEN NEW.address = '10003' "
                           "BEGIN SELECT RAISE(ABORT, 'no'); END",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(holder);
    std::string refusedAddress;
    CallWriter writer(open(), [&](const StoredCall& c, const std::string&) { refusedAddress = c.address, ++reported; });
    std::thread decoding([&] {
        for (int i = 0; i < 6; ++i) writer.Submit(Numbered(i));
    });
    decoding.join();
    writer.Drain();
    EXPECT_EQ(writer.Stored(), 5u);
    EXPECT_EQ(writer.Lost(), 1u);
    EXPECT_EQ(reported.load(), 1);
    EXPECT_EQ(refusedAddress, "10003");
}

}  // namespace
}  // namespace quorvel
