// quorvel-decode --db: the row of every kind (follow-on text included), the
// rows of runs with names and filters (exactly the calls the run writes), two
// writers on one file while a third holds its lock, writers killed mid-run,
// a row the file refuses, and the files that cannot be used.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <nlohmann/json.hpp>

#include "store_test_support.h"

namespace quorvel {
namespace {

using json = nlohmann::ordered_json;
using testing::AllRows;
using testing::Background;
using testing::kDecode;
using testing::Lines;
using testing::RunCommand;
using testing::ScratchDir;
using testing::WaitFor;

// Runs one statement on its own connection; the first column of the first row.
std::string Sql(const std::string& db, const std::string& statement) {
    sqlite3* c = nullptr;
    std::string value = "(error)";
    if (sqlite3_open(db.c_str(), &c) == SQLITE_OK) {
        sqlite3_busy_timeout(c, 10000);
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(c, statement.c_str(), -1, &s, nullptr) == SQLITE_OK) {
            const int rc = sqlite3_step(s);
            if (rc == SQLITE_ROW) value = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
            else if (rc == SQLITE_DONE) value = "";
        }
        sqlite3_finalize(s);
    }
    sqlite3_close(c);
    return value;
}

// A row in a few words: what the tables below expect.
std::string Brief(const store::CallRow& r) {
    std::string s = r.call.source + " " + r.call.protocol + " " + r.call.address;
    if (!r.call.subaddress.empty()) s += "/" + r.call.subaddress;
    if (!r.call.name.empty()) s += " [" + r.call.name + "]";
    if (!r.call.text.empty()) s += " '" + r.call.text + "'";
    return s;
}

// The call objects of a --format json run (transmission summaries are not
// calls).
std::vector<std::string> CallObjects(const std::string& out) {
    std::vector<std::string> objects;
    for (const std::string& line : Lines(out))
        if (line.find("\"transmission_end\"") == std::string::npos) objects.push_back(line);
    return objects;
}

const char* const kNames =
    "protocol,address,subaddress,name,action\n"
    "pocsag,1234567,,Wache Nord\n"
    "pocsag,1234999,,Probealarm,ignore\n"
    "fms,63123456,,HLF 1 Grüß\n"
    "zvei,54321,,\"Sirene Süd, Mitte\"\n";

// The calls of long.wav: 13 per copy of the traffic.
constexpr std::size_t kLongCalls = 13 * 50;

class Store : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new ScratchDir("store");
        testing::WriteRecordings(*dir_);
        dir_->Write("names.csv", kNames);
        // A long recording: the traffic many times over.
        testing::StationTraffic traffic;
        const std::vector<double> once = traffic.samples;
        for (std::size_t i = 1; i < kLongCalls / 13; ++i) traffic.Append(once);
        ASSERT_EQ(traffic.WriteWav(dir_->Path("long.wav")), "");
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    // Decoding with time stamps from the input, so that runs compare.
    static testing::CommandResult Decode(const std::string& args, const std::string& inputs = "traffic.wav") {
        std::string command = "cd " + dir_->Path("") + " && " + kDecode + " --clock input " + args;
        for (const std::string& input : Lines(inputs)) command += " " + input;
        return RunCommand(command);
    }
    static ScratchDir* dir_;
};

ScratchDir* Store::dir_ = nullptr;

TEST_F(Store, EveryKindIsARowWithTheObjectTheRunWrote) {
    const std::string db = dir_->Path("kinds.db");
    const auto first = Decode("--format json --db kinds.db", "traffic.wav\nfmstext.wav");
    ASSERT_EQ(first.status, 0) << first.err;
    const auto second = Decode("--format json --table ccir --label 'Funk 2' --db kinds.db", "ccir.wav");
    ASSERT_EQ(second.status, 0) << second.err;
    const std::vector<std::string> expected = {
        "traffic.wav pocsag 1234567/3",
        "traffic.wav pocsag 1234567/3 'Feuer Nord, Halle 3'",
        "traffic.wav pocsag 1234999/1 'Probealarm Nord'",
        "traffic.wav pocsag 2000000/2 'Fremde Adresse 1'",
        "traffic.wav fms 63123456/2",
        "traffic.wav fms 63123456/2",
        "traffic.wav fms 63123456/3",
        "traffic.wav zvei 12345",
        "traffic.wav zvei 12345",
        "traffic.wav zvei 54321",
        "traffic.wav pocsag 1234567/3 'Feuer Nord, Halle 3'",
        "traffic.wav pocsag 2000000/2 'Fremde Adresse 1'",
        "traffic.wav pocsag 1234567/3 'Feuer Nord, Halle 3'",
        "fmstext.wav fms 63123456/5",
        "fmstext.wav fms 63123456 'Lage: Brand <b>'",
        "Funk 2 ccir 13579",
    };
    const auto rows = AllRows(db);
    std::vector<std::string> briefs;
    for (const auto& r : rows) briefs.push_back(Brief(r));
    EXPECT_EQ(briefs, expected);
    std::vector<std::string> objects = CallObjects(first.out);
    for (const std::string& o : CallObjects(second.out)) objects.push_back(o);
    ASSERT_EQ(objects.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].id, static_cast<std::int64_t>(i + 1));
        EXPECT_EQ(rows[i].call.json, objects[i]);
        const json o = json::parse(objects[i]);
        EXPECT_EQ(rows[i].call.time, o["time"]);
        EXPECT_EQ(rows[i].call.offset, o["offset"].get<double>());
    }
    EXPECT_EQ(Sql(db, "PRAGMA user_version"), std::to_string(store::kSchemaVersion));
    EXPECT_EQ(Sql(db, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(Sql(db, "SELECT group_concat(name) FROM sqlite_master WHERE type = 'index' AND sql IS NOT NULL"),
              "calls_time,calls_protocol_address");

    // --db adds rows and changes nothing of what is written.
    for (const std::string format : {"text", "json"}) {
        const auto plain = Decode("--format " + format);
        const auto kept = Decode("--format " + format + " --db kinds.db");
        EXPECT_EQ(kept.out, plain.out) << format;
    }
    EXPECT_EQ(AllRows(db).size(), rows.size() + 26);
}

TEST_F(Store, RowsAreTheCallsTheStationWritesWithTheirNames) {
    const struct {
        std::string args;
        std::vector<std::string> rows;  // when empty: only compared with the output
    } cases[] = {
        {"--aliases names.csv --dedup 10",
         {"traffic.wav pocsag 1234567/3 [Wache Nord]", "traffic.wav pocsag 1234567/3 [Wache Nord] 'Feuer Nord, Halle 3'",
          "traffic.wav pocsag 2000000/2 'Fremde Adresse 1'", "traffic.wav fms 63123456/2 [HLF 1 Grüß]",
          "traffic.wav fms 63123456/3 [HLF 1 Grüß]", "traffic.wav zvei 12345",
          "traffic.wav zvei 54321 [Sirene Süd, Mitte]",
          "traffic.wav pocsag 1234567/3 [Wache Nord] 'Feuer Nord, Halle 3'"}},
        {"--only fms --label 'Leitstelle Süd'",
         {"Leitstelle Süd fms 63123456/2", "Leitstelle Süd fms 63123456/2", "Leitstelle Süd fms 63123456/3"}},
        {"--ignore pocsag --ignore zvei:12345 --aliases names.csv", {}},
        {"--only pocsag:1234000-1234999 --dedup 60", {}},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string db = "filters" + std::to_string(++n) + ".db";
        const auto r = Decode("--format json --db " + db + " " + c.args);
        ASSERT_EQ(r.status, 0) << c.args << "\n" << r.err;
        const auto rows = AllRows(dir_->Path(db));
        const auto objects = CallObjects(r.out);
        ASSERT_EQ(rows.size(), objects.size()) << c.args;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(rows[i].call.json, objects[i]) << c.args;
            EXPECT_EQ(rows[i].call.name, json::parse(objects[i]).value("name", "")) << c.args;
        }
        if (!c.rows.empty()) {
            std::vector<std::string> briefs;
            for (const auto& row : rows) briefs.push_back(Brief(row));
            EXPECT_EQ(briefs, c.rows) << c.args;
        }
    }
}

TEST_F(Store, TwoWritersPastALockHeldLongerThanOneWaitDecodeOnAndLoseNothing) {
    const std::string db = dir_->Path("shared.db");
    ASSERT_EQ(Decode("--db shared.db", "fmstext.wav").status, 0);
    const std::string plain = Decode("", "long.wav").out;
    // A third connection holds the write lock for longer than SQLite's own
    // wait; meanwhile both writers decode the whole recording.
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    std::vector<std::unique_ptr<Background>> writers;
    for (const std::string label : {"A", "B"}) {
        writers.push_back(std::make_unique<Background>(
            kDecode + " --clock input --db " + db + " --label " + label + " " + dir_->Path("long.wav"),
            dir_->Path(label + ".err"), dir_->Path(label + ".out")));
    }
    for (const std::string label : {"A", "B"})
        EXPECT_TRUE(WaitFor([&] { return testing::ReadFile(dir_->Path(label + ".out")) == plain; }, 120.0)) << label;
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    for (const auto& w : writers) EXPECT_TRUE(w->Running());  // waiting for the lock, not lost
    EXPECT_EQ(sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(holder);
    for (const auto& w : writers) EXPECT_EQ(w->Wait(), 0) << w->Err();
    const auto rows = AllRows(db);
    ASSERT_EQ(rows.size(), 2 + 2u * kLongCalls);
    std::map<std::string, std::vector<double>> offsets;
    for (const auto& r : rows) offsets[r.call.source].push_back(r.call.offset);
    ASSERT_EQ(offsets["A"].size(), kLongCalls);
    EXPECT_EQ(offsets["A"], offsets["B"]);  // each writer's calls whole and in order
    EXPECT_TRUE(std::is_sorted(offsets["A"].begin(), offsets["A"].end()));
}

TEST_F(Store, AWriterKilledAtAnyMomentLeavesASoundFile) {
    const std::string db = dir_->Path("killed.db");
    for (const std::size_t rowsBeforeKill : {1u, 7u, 40u, 90u, 300u}) {
        std::filesystem::remove(db);
        Background writer(kDecode + " --db " + db + " " + dir_->Path("long.wav"), dir_->Path("killed.err"));
        ASSERT_TRUE(WaitFor([&] {
            return std::filesystem::exists(db) &&
                   std::atoll(Sql(db, "SELECT count(*) FROM calls").c_str()) >= static_cast<long long>(rowsBeforeKill);
        })) << writer.Err();
        writer.Signal(SIGKILL);
        EXPECT_EQ(writer.Wait(), -SIGKILL) << "ended before it was killed";
        EXPECT_EQ(Sql(db, "PRAGMA integrity_check"), "ok");
        const auto rows = AllRows(db);
        EXPECT_GE(rows.size(), rowsBeforeKill);
        for (const auto& r : rows) EXPECT_TRUE(json::accept(r.call.json)) << r.call.json;
        // The next writer takes the file on.
        EXPECT_EQ(Decode("--db killed.db", "fmstext.wav").status, 0);
        EXPECT_EQ(AllRows(db).size(), rows.size() + 2);
    }
}

TEST_F(Store, ARefusedRowIsReportedWithItsCallAndTheRunGoesOnToStatusOne) {
    const std::string db = dir_->Path("refusing.db");
    ASSERT_EQ(Decode("--db refusing.db", "fmstext.wav").status, 0);
    Sql(db, "CREATE TRIGGER refuse BEFORE INSERT ON calls WHEN NEW.address = '2000000' "
            "BEGIN SELECT RAISE(ABORT, 'refused by the test'); END");
    const auto plain = Decode("");
    const auto r = Decode("--stats --db refusing.db");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, plain.out);  // the output goes on in full
    const std::string call = "call not stored: pocsag 2000000/2 \"Fremde Adresse 1\" at 1970-01-01T00:00:";
    std::size_t reported = 0;
    for (const std::string& line : Lines(r.err)) {
        if (line.find(call) == std::string::npos) continue;
        ++reported;
        EXPECT_NE(line.find("refused by the test"), std::string::npos) << line;
    }
    EXPECT_EQ(reported, 2u) << r.err;
    EXPECT_NE(r.err.find("stored: 11\nnot stored: 2\n"), std::string::npos) << r.err;
    EXPECT_EQ(AllRows(db).size(), 2u + 11u);
}

TEST_F(Store, FilesThatCannotBeUsedStopBeforeDecoding) {
    ScratchDir dir("store-bad");
    const std::string newer = dir.Path("newer.db");
    Sql(newer, "PRAGMA user_version = 99");
    const std::string locked = dir.Path("locked");
    std::filesystem::create_directories(locked);
    ASSERT_EQ(Decode("--db " + locked + "/calls.db", "fmstext.wav").status, 0);
    // Write permission is what is refused: as root, run as nobody.
    std::filesystem::permissions(locked, std::filesystem::perms::owner_all | std::filesystem::perms::others_read |
                                             std::filesystem::perms::others_exec);
    std::filesystem::permissions(locked + "/calls.db", std::filesystem::perms::owner_read |
                                                           std::filesystem::perms::others_read);
    const std::string asOther = geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    const struct {
        std::string args;
        int status;
        std::string message;
    } cases[] = {
        {"--db " + dir.Path("missing/calls.db"), 1, "the folder " + dir.Path("missing") + " does not exist"},
        {"--db " + dir_->Path("traffic.wav"), 1, "traffic.wav: not an SQLite database"},
        {"--db " + dir.Path(""), 1, "is a folder, not a database file"},
        {"--db " + newer, 1, "written by a newer Quorvel (schema version 99, this one knows 1)"},
        {"--db " + locked + "/calls.db", 1, "calls.db: cannot be written"},
        {"--db " + locked + "/new.db", 1, "new.db: cannot be opened"},
        {"--label x", 2, "--label names the source of --db rows"},
    };
    for (const auto& c : cases) {
        const auto r = RunCommand(asOther + kDecode + " " + c.args + " " + dir_->Path("traffic.wav"));
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_TRUE(r.out.empty()) << c.args << "\n" << r.out;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << "\n" << r.err;
    }
    EXPECT_EQ(AllRows(locked + "/calls.db").size(), 2u);
    EXPECT_FALSE(std::filesystem::exists(locked + "/new.db"));
}

}  // namespace
}  // namespace quorvel
