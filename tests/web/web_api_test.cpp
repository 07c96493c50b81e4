// quorvel-web over HTTP on a free loopback port: /api/calls with every filter
// and paging, /api/stream with calls written by another process and a
// reconnect with Last-Event-ID, refused methods and unknown paths, a file
// without rows, files it cannot serve, and a clean end on SIGTERM with a
// stream open.
#include <gtest/gtest.h>
#include <httplib.h>

#include <mutex>
#include <nlohmann/json.hpp>

#include "store_test_support.h"

namespace quorvel {
namespace {

using json = nlohmann::ordered_json;
using testing::AllRows;
using testing::kDecode;
using testing::kWeb;
using testing::RunCommand;
using testing::ScratchDir;
using testing::WaitFor;
using testing::WebServer;

std::vector<std::int64_t> Ids(const json& calls) {
    std::vector<std::int64_t> ids;
    for (const json& c : calls) ids.push_back(c["id"].get<std::int64_t>());
    return ids;
}

struct Event {
    std::int64_t id = 0;
    json data;
};

// One stream: opened (with Last-Event-ID when given), then `whileOpen` runs,
// then events are read until `count` have come (or a limit for a hung test).
// `startId`: the id the stream names first (where a reconnect would start).
std::vector<Event> Stream(int port, std::int64_t lastEventId, std::size_t count,
                          const std::function<void()>& whileOpen = [] {}, std::int64_t* startIdOut = nullptr) {
    std::int64_t startId = -1;
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(30, 0);
    std::mutex m;
    std::string received;
    std::vector<Event> events;
    bool opened = false;
    httplib::Headers headers;
    if (lastEventId > 0) headers.emplace("Last-Event-ID", std::to_string(lastEventId));
    std::thread reader([&] {
        client.Get("/api/stream", headers, [&](const char* data, std::size_t n) {
            std::lock_guard lock(m);
            opened = true;
            received.append(data, n);
            // Whole events only: "id: N\ndata: {...}\n\n".
            for (std::size_t end; (end = received.find("\n\n")) != std::string::npos;) {
                const std::string block = received.substr(0, end);
                received.erase(0, end + 2);
                Event e;
                for (const std::string& line : testing::Lines(block)) {
                    if (line.rfind("id: ", 0) == 0) e.id = std::atoll(line.c_str() + 4);
                    if (line.rfind("data: ", 0) == 0) e.data = json::parse(line.substr(6));
                }
                if (!e.data.is_null()) events.push_back(e);
                else if (block.rfind("retry: 2000\nid: ", 0) == 0) startId = e.id;
                else EXPECT_EQ(block, ": keep-alive");
            }
            return events.size() < count;
        });
    });
    // The stream is open once its first line has come.
    EXPECT_TRUE(WaitFor([&] {
        std::lock_guard lock(m);
        return opened;
    }));
    whileOpen();
    WaitFor([&] {
        std::lock_guard lock(m);
        return events.size() >= count;
    });
    client.stop();
    reader.join();
    if (startIdOut != nullptr) *startIdOut = startId;
    return events;
}

class WebApi : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new ScratchDir("web-api");
        testing::WriteRecordings(*dir_);
        dir_->Write("names.csv", "protocol,address,subaddress,name\npocsag,1234567,,Wache Nord\nzvei,54321,,Sirene Süd\n");
        const auto r = RunCommand(kDecode + " --db " + Db() + " --aliases " + dir_->Path("names.csv") + " " +
                                  dir_->Path("traffic.wav") + " " + dir_->Path("fmstext.wav"));
        ASSERT_EQ(r.status, 0) << r.err;
        server_ = new WebServer(Db(), dir_->Path("web.err"));
        ASSERT_GT(server_->Port(), 0) << server_->Process().Err();
    }
    static void TearDownTestSuite() {
        delete server_;
        delete dir_;
    }
    static std::string Db() { return dir_->Path("calls.db"); }
    static httplib::Client Client() { return httplib::Client("127.0.0.1", server_->Port()); }
    static ScratchDir* dir_;
    static WebServer* server_;
};

ScratchDir* WebApi::dir_ = nullptr;
WebServer* WebApi::server_ = nullptr;

// The rows (ids 1..15): 1 pocsag 1234567/3 tone-only [Wache Nord], 2 the same
// "Feuer Nord, Halle 3", 3 pocsag 1234999 "Probealarm Nord", 4 pocsag 2000000
// "Fremde Adresse 1", 5-6 fms status 2, 7 fms status 3, 8-9 zvei 12345, 10 zvei
// 54321 [Sirene Süd], 11 and 13 as 2, 12 as 4, 14 fms status 5, 15 its text
// "Lage: Brand <b>".
TEST_F(WebApi, CallsFilteredNewestFirst) {
    const struct {
        std::string query;
        std::vector<std::int64_t> ids;
    } cases[] = {
        {"", {15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1}},
        {"protocol=fms", {15, 14, 7, 6, 5}},
        {"protocol=POCSAG&address=2000000", {12, 4}},
        {"address=1234", {}},  // an address is matched whole
        {"q=feuer", {13, 11, 2}},
        {"q=WACHE", {13, 11, 2, 1}},
        {"q=S%C3%BCd", {10}},
        {"q=12345", {15, 14, 13, 11, 9, 8, 7, 6, 5, 2, 1}},  // 63123456 too
        {"q=%3Cb%3E", {15}},
        {"q=%25", {}},  // LIKE's wildcards are plain characters
        {"q=_", {}},
        {"address=63123456&q=brand", {15}},
        {"since_id=12", {15, 14, 13}},
        {"before_id=3", {2, 1}},
        {"since_id=5&before_id=9&protocol=fms", {7, 6}},
        {"limit=2", {15, 14}},
        {"limit=20000&protocol=zvei", {10, 9, 8}},
        {"since_id=15", {}},
    };
    auto client = Client();
    for (const auto& c : cases) {
        const auto res = client.Get("/api/calls?" + c.query);
        ASSERT_TRUE(res) << c.query;
        EXPECT_EQ(res->status, 200) << c.query;
        EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
        EXPECT_EQ(Ids(json::parse(res->body)), c.ids) << c.query << "\n" << res->body;
    }
    for (const std::string query : {"limit=0", "limit=ten", "since_id=-1", "before_id=1e3", "limit="}) {
        const auto res = client.Get("/api/calls?" + query);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 400) << query;
        EXPECT_TRUE(json::parse(res->body).contains("error")) << res->body;
    }
}

TEST_F(WebApi, PagesJoinUpAndEachCallIsItsRowWithTheObjectParsed) {
    auto client = Client();
    const json all = json::parse(client.Get("/api/calls")->body);
    json paged = json::array();
    std::string query = "/api/calls?limit=4";
    for (int pages = 0; pages < 10; ++pages) {
        const json page = json::parse(client.Get(query)->body);
        if (page.empty()) break;
        EXPECT_LE(page.size(), 4u);
        for (const json& c : page) paged.push_back(c);
        query = "/api/calls?limit=4&before_id=" + std::to_string(page.back()["id"].get<std::int64_t>());
    }
    EXPECT_EQ(paged, all);

    const auto rows = AllRows(Db());
    ASSERT_EQ(all.size(), rows.size());
    for (const store::CallRow& r : rows) {
        const json& c = all[all.size() - static_cast<std::size_t>(r.id)];
        const json expected = {{"id", r.id},
                               {"time", r.call.time},
                               {"offset", r.call.offset},
                               {"source", r.call.source},
                               {"protocol", r.call.protocol},
                               {"address", r.call.address},
                               {"subaddress", r.call.subaddress},
                               {"name", r.call.name},
                               {"text", r.call.text},
                               {"json", json::parse(r.call.json)}};
        EXPECT_EQ(c, expected);
    }
    EXPECT_EQ(all[5]["name"], "Sirene Süd");
    EXPECT_EQ(all[0]["json"]["event"], "fms_text");
}

TEST_F(WebApi, StreamSendsCallsOfAnotherProcessAndWhatAReconnectMissed) {
    const std::size_t before = AllRows(Db()).size();
    // A new stream starts after the newest row, and names it; another process
    // adds two.
    std::int64_t startId = 0;
    const auto fresh = Stream(
        server_->Port(), 0, 2,
        [&] {
            const auto r = RunCommand(kDecode + " --db " + Db() + " --label second " + dir_->Path("fmstext.wav"));
            EXPECT_EQ(r.status, 0) << r.err;
        },
        &startId);
    EXPECT_EQ(startId, static_cast<std::int64_t>(before));
    ASSERT_EQ(fresh.size(), 2u);
    const json added = json::parse(Client().Get("/api/calls?since_id=" + std::to_string(before))->body);
    ASSERT_EQ(added.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(fresh[i].id, static_cast<std::int64_t>(before + 1 + i));
        EXPECT_EQ(fresh[i].data, added[1 - i]);  // the stream oldest first
        EXPECT_EQ(fresh[i].data["source"], "second");
    }
    // Reconnecting with the last id seen gets what came after it, in order.
    const auto missed = Stream(server_->Port(), 13, before + 2 - 13, [] {}, &startId);
    EXPECT_EQ(startId, 13);
    // An id beyond the newest (a file since replaced) starts at the newest.
    Stream(server_->Port(), 9999, 0, [] {}, &startId);
    EXPECT_EQ(startId, static_cast<std::int64_t>(before + 2));
    std::vector<std::int64_t> ids;
    for (const Event& e : missed) ids.push_back(e.id);
    std::vector<std::int64_t> expected;
    for (std::int64_t id = 14; id <= static_cast<std::int64_t>(before + 2); ++id) expected.push_back(id);
    EXPECT_EQ(ids, expected);
    // A bad id is refused; HEAD gives the headers only.
    httplib::Client client = Client();
    const auto bad = client.Get("/api/stream", {{"Last-Event-ID", "x"}});
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->status, 400);
    const auto head = client.Head("/api/stream");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    EXPECT_EQ(head->get_header_value("Content-Type"), "text/event-stream");
    EXPECT_TRUE(head->body.empty());
}

TEST_F(WebApi, OnlyGetAndHeadOnThePageAndTheApi) {
    const struct {
        std::string method, path;
        int status;
    } cases[] = {
        {"POST", "/", 405},          {"PUT", "/api/calls", 405}, {"DELETE", "/api/calls", 405},
        {"PATCH", "/api/stream", 405}, {"OPTIONS", "/", 405},     {"POST", "/nowhere", 405},
        {"GET", "/nowhere", 404},    {"GET", "/api", 404},       {"GET", "/api/calls/1", 404},
        {"GET", "/index.html", 404}, {"HEAD", "/api/nothing", 404}, {"HEAD", "/", 200},
        {"HEAD", "/api/calls", 200},
    };
    auto client = Client();
    for (const auto& c : cases) {
        httplib::Request req;
        req.method = c.method;
        req.path = c.path;
        const auto res = client.send(req);
        ASSERT_TRUE(res) << c.method << " " << c.path;
        EXPECT_EQ(res->status, c.status) << c.method << " " << c.path;
        if (c.status == 405) {
            EXPECT_EQ(res->get_header_value("Allow"), "GET, HEAD") << c.method << " " << c.path;
        }
        if (c.method == "HEAD") {
            EXPECT_TRUE(res->body.empty());
        }
    }
    const auto page = client.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(page->body.find("<title>Quorvel calls</title>"), std::string::npos);
    EXPECT_EQ(page->body.find("://"), std::string::npos);  // nothing from elsewhere
    EXPECT_EQ(page->body.find("innerHTML"), std::string::npos);
}

TEST(WebServe, AFileWithoutRowsUntilAWriterComesAndACleanEndOnSigterm) {
    ScratchDir dir("web-empty");
    testing::WriteRecordings(dir);
    const std::string db = dir.Path("empty.db");
    ASSERT_EQ(RunCommand(kDecode + " --db " + db + " --only ccir " + dir.Path("traffic.wav")).status, 0);
    WebServer server(db, dir.Path("web.err"));
    ASSERT_GT(server.Port(), 0) << server.Process().Err();
    httplib::Client client("127.0.0.1", server.Port());
    const auto none = client.Get("/api/calls");
    ASSERT_TRUE(none);
    EXPECT_EQ(none->status, 200);
    EXPECT_EQ(json::parse(none->body), json::array());
    const auto events = Stream(server.Port(), 0, 1, [&] {
        EXPECT_EQ(RunCommand(kDecode + " --db " + db + " --table ccir " + dir.Path("ccir.wav")).status, 0);
    });
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].data["address"], "13579");

    // SIGTERM with a stream open: the server ends it and exits with 0.
    httplib::Client streaming("127.0.0.1", server.Port());
    std::atomic<bool> open{false};
    std::thread reader([&] {
        streaming.Get("/api/stream", [&](const char*, std::size_t) { return open = true, true; });
    });
    ASSERT_TRUE(WaitFor([&] { return open.load(); }));
    server.Process().Signal(SIGTERM);
    EXPECT_EQ(server.Process().Wait(), 0) << server.Process().Err();
    reader.join();
    EXPECT_NE(server.Process().Err().find("quorvel-web: stopped"), std::string::npos);
}

TEST(WebServe, FilesItCannotServeAndBadOptions) {
    ScratchDir dir("web-bad");
    dir.Write("not.db", "just some text, long enough to be looked at as a database header......");
    const struct {
        std::string args;
        int status;
        std::string message;
    } cases[] = {
        {"--db " + dir.Path("missing.db"), 1, "missing.db: does not exist (quorvel-decode --db creates it)"},
        {"--db " + dir.Path("not.db"), 1, "not.db: not an SQLite database"},
        {"--db " + dir.Path("nofolder/x.db"), 1, "does not exist"},
        {"--db " + dir.Path("not.db") + " --listen localhost", 2, "is not ADDR:PORT"},
        {"--db " + dir.Path("not.db") + " --listen 127.0.0.1:70000", 2, "is not ADDR:PORT"},
        {"--listen 127.0.0.1:0", 2, "--db is required"},
    };
    for (const auto& c : cases) {
        const auto r = RunCommand(kWeb + " " + c.args);
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << "\n" << r.err;
    }
    const auto help = RunCommand(kWeb + " --help");
    EXPECT_NE(help.out.find("exposes the calls"), std::string::npos);
}

}  // namespace
}  // namespace quorvel
