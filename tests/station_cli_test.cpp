// The alerting station through the whole command line, on a recording of a
// small station's traffic: names from the alias file, --only/--ignore and the
// file's actions, duplicate suppression, in text line by line and in JSON; bad
// alias files and bad options end with status 2 before anything is decoded.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "station/aliases.h"
#include "station/filters.h"
#include "station_test_support.h"
#include "test_support.h"

namespace quorvel {
namespace {

using json = nlohmann::ordered_json;
using testing::Lines;
using testing::RunCommand;
using testing::ScratchDir;

const std::string kDecode = QUORVEL_DECODE_PATH;

const char* const kNames =
    "protocol,address,subaddress,name,action\n"
    "# the station's own addresses\n"
    "pocsag,1234567,d,Wache Nord\n"
    "pocsag,1234567,,Wache Nord (alle)\n"
    "pocsag,1234999,,Probealarm,ignore\n"
    "fms,63123456,,HLF 1 Grüß\n"
    "zvei,54321,,\"Sirene Süd, Mitte\"\n";

// Only what the file marks "show".
const char* const kShowNames =
    "protocol,address,subaddress,name,action\r\n"
    "pocsag,1234567,,,show\r\n"
    "zvei,54321,,Sirene,show\r\n";

// Times of day vary from run to run; transmission summaries carry measured
// figures. Both become placeholders.
std::vector<std::string> Normalized(const std::string& out) {
    static const std::regex time(R"(\d{1,2}:\d\d:\d\d( [AP]M)?)");
    std::vector<std::string> lines;
    for (const std::string& line : Lines(out)) {
        if (line.rfind("blocks: ", 0) == 0) break;  // the statistics follow
        lines.push_back(line.find("\tidles: ") != std::string::npos ? "<summary>" : std::regex_replace(line, time, "T"));
    }
    return lines;
}

// One JSON object in a few words: what the tables below expect.
std::string Brief(const json& o) {
    if (o.contains("event") && o["event"] == "transmission_end") return "pocsag summary";
    std::string s = o["protocol"].get<std::string>() + " ";
    if (o.contains("ric")) s += std::to_string(o["ric"].get<int>()) + "/" + std::to_string(o["function"].get<int>());
    else s += o.value("address", "?");
    if (o.contains("status")) s += " status " + o["status"].get<std::string>();
    if (o.contains("message")) s += " '" + o["message"].get<std::string>() + "'";
    if (o.contains("name")) s += " [" + o["name"].get<std::string>() + "]";
    return s;
}

std::map<std::string, long> Counts(const std::string& out) {
    std::map<std::string, long> counts;
    for (const std::string& line : Lines(out)) {
        const auto colon = line.find(": ");
        if (colon != std::string::npos && line.find('\t') == std::string::npos)
            counts[line.substr(0, colon)] = std::atol(line.c_str() + colon + 2);
    }
    return counts;
}

class StationCli : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new ScratchDir("station-cli");
        ASSERT_EQ(testing::StationTraffic().WriteWav(dir_->Path("traffic.wav")), "");
        dir_->Write("names.csv", kNames);
        dir_->Write("show.csv", kShowNames);
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static std::string Run(const std::string& args) {
        return kDecode + " " + args + " " + dir_->Path("traffic.wav");
    }
    static std::string Names() { return dir_->Path("names.csv"); }
    static ScratchDir* dir_;
};

ScratchDir* StationCli::dir_ = nullptr;

const std::string kFeuer = "1234567:\t3\tAlphaNum:\tFeuer Nord, Halle 3<NUL>";
const std::string kProbe = "1234999:\t1\tAlphaNum:\tProbealarm Nord<NUL><NUL>";
const std::string kFremd = "2000000:\t2\tAlphaNum:\tFremde Adresse 1<NUL>";
const std::string kFms2 = "T\tFeuerwehr\tBay I\t12\t3456\t2\t0\tF>L\tII\t\t";
const std::string kFms3 = "T\tFeuerwehr\tBay I\t12\t3456\t3\t0\tF>L\tII\t\t";

TEST_F(StationCli, TextLineByLine) {
    const struct {
        std::string args;
        std::vector<std::string> lines;
        long calls, filtered, duplicates;
    } cases[] = {
        {"--aliases " + Names() + " --dedup 10",
         {"1234567:\t3\tBeep \tWache Nord", kFeuer + "\tWache Nord", kFremd, "<summary>", "",
          kFms2 + "\tHLF 1 Grüß", kFms3 + "\tHLF 1 Grüß", "T\tZVEI: 12345", "T\tZVEI: 54321\tSirene Süd, Mitte",
          // the second transmission's calls are repeats: neither they nor its summary
          kFeuer + "\tWache Nord", "<summary>", ""},
         8, 1, 4},
        {"--only pocsag:1234000-1234999 --only fms:63123456",
         {"1234567:\t3\tBeep ", kFeuer, kProbe, "<summary>", "", kFms2, kFms2, kFms3, kFeuer, "<summary>", "", kFeuer,
          "<summary>", ""},
         8, 5, 0},
        {"--ignore POCSAG --ignore zvei:12345 --aliases " + Names(),
         {kFms2 + "\tHLF 1 Grüß", kFms2 + "\tHLF 1 Grüß", kFms3 + "\tHLF 1 Grüß",
          "T\tZVEI: 54321\tSirene Süd, Mitte"},
         4, 9, 0},
        // "show" on its own address lets nothing else disappear; a whitelist
        // is asked for with --only-named.
        {"--aliases " + dir_->Path("show.csv"),
         {"1234567:\t3\tBeep ", kFeuer, kProbe, kFremd, "<summary>", "", kFms2, kFms2, kFms3, "T\tZVEI: 12345",
          "T\tZVEI: 12345", "T\tZVEI: 54321\tSirene", kFeuer, kFremd, "<summary>", "", kFeuer, "<summary>", ""},
         13, 0, 0},
        {"--only-named --aliases " + dir_->Path("show.csv"),
         {"1234567:\t3\tBeep ", kFeuer, "<summary>", "", "T\tZVEI: 54321\tSirene", kFeuer, "<summary>", "", kFeuer,
          "<summary>", ""},
         5, 8, 0},
        {"--only-named --only zvei:12345 --aliases " + Names(),
         {"1234567:\t3\tBeep \tWache Nord", kFeuer + "\tWache Nord", "<summary>", "", kFms2 + "\tHLF 1 Grüß",
          kFms2 + "\tHLF 1 Grüß", kFms3 + "\tHLF 1 Grüß", "T\tZVEI: 12345", "T\tZVEI: 12345",
          "T\tZVEI: 54321\tSirene Süd, Mitte", kFeuer + "\tWache Nord", "<summary>", "", kFeuer + "\tWache Nord",
          "<summary>", ""},
         10, 3, 0},
        {"--dedup 60 --only zvei:10000-59999",
         {"T\tZVEI: 12345", "T\tZVEI: 54321"}, 2, 10, 1},
    };
    for (const auto& c : cases) {
        const auto r = RunCommand(Run(c.args));
        ASSERT_EQ(r.status, 0) << c.args << "\n" << r.err;
        EXPECT_EQ(Normalized(r.out), c.lines) << c.args << "\n" << r.out;
        const auto withStats = RunCommand(Run("--stats " + c.args));
        const auto counts = Counts(withStats.err);
        EXPECT_EQ(counts.at("calls"), c.calls) << c.args;
        EXPECT_EQ(counts.at("filtered"), c.filtered) << c.args;
        EXPECT_EQ(counts.at("duplicates"), c.duplicates) << c.args;
    }
    // --raw-text: the name in Windows-1252 like the rest of the line.
    const auto raw = RunCommand(Run("--raw-text --only fms --aliases " + Names()));
    EXPECT_NE(raw.out.find("II\t\t\tHLF 1 Gr\xFC\xDF\r\n"), std::string::npos) << raw.out;
}

TEST_F(StationCli, JsonObjectsAreTheRenderersWithTheirName) {
    const auto plain = RunCommand(Run("--format json"));
    ASSERT_EQ(plain.status, 0) << plain.err;
    std::vector<json> all;
    for (const std::string& line : Lines(plain.out)) all.push_back(json::parse(line));
    ASSERT_EQ(all.size(), 16u) << plain.out;

    const struct {
        std::string args;
        std::vector<std::string> objects;
    } cases[] = {
        {"--aliases " + Names() + " --dedup 10",
         {"pocsag 1234567/3 '' [Wache Nord]", "pocsag 1234567/3 'Feuer Nord, Halle 3' [Wache Nord]",
          "pocsag 2000000/2 'Fremde Adresse 1'", "pocsag summary", "fms 63123456 status 2 [HLF 1 Grüß]",
          "fms 63123456 status 3 [HLF 1 Grüß]", "zvei 12345", "zvei 54321 [Sirene Süd, Mitte]",
          "pocsag 1234567/3 'Feuer Nord, Halle 3' [Wache Nord]", "pocsag summary"}},
        {"--only pocsag:1234999 --ignore pocsag:0-1234998",
         {"pocsag 1234999/1 'Probealarm Nord'", "pocsag summary"}},
    };
    for (const auto& c : cases) {
        const auto r = RunCommand(Run("--format json " + c.args));
        ASSERT_EQ(r.status, 0) << c.args << "\n" << r.err;
        std::vector<std::string> briefs;
        for (const std::string& line : Lines(r.out)) {
            json o = json::parse(line);
            briefs.push_back(Brief(o));
            // Apart from the name (last) and the time of day, the object of the
            // plain renderer at the same place in the input.
            if (o.contains("name")) {
                EXPECT_EQ(std::prev(o.end()).key(), "name");
                o.erase("name");
            }
            bool found = false;
            for (json p : all) {
                if (p["offset"] != o["offset"]) continue;
                p.erase("time");
                p.erase("begin");
                json q = o;
                q.erase("time");
                q.erase("begin");
                found = found || p == q;
            }
            EXPECT_TRUE(found) << line;
        }
        EXPECT_EQ(briefs, c.objects) << c.args << "\n" << r.out;
    }
}

TEST_F(StationCli, BadAliasFilesStopBeforeDecodingWithTheirLineNumbers) {
    const std::string header = "protocol,address,subaddress,name,action\n";
    const struct {
        std::string content;
        std::vector<std::string> messages;  // each expected in standard error
    } cases[] = {
        {"proto,addr,sub,name\npocsag,1,,x\n", {":1: the header must be"}},
        {header + "pocsag,1234567,,ok\npager,1234567,,x\n", {":3: unknown protocol 'pager'"}},
        {header + "pocsag,3000000,,x\n", {":2: bad pocsag address '3000000'"}},
        {header + "pocsag,12a4,,x\n", {":2: bad pocsag address"}},
        {header + "fms,6312345,,x\n", {":2: bad fms address"}},
        {header + "zvei,1234,,x\nccir,123456,,y\n", {":2: bad zvei address", ":3: bad ccir address"}},
        {header + "pocsag,1,e,x\npocsag,1,4,y\n", {":2: bad subaddress 'e'", ":3: bad subaddress '4'"}},
        {header + "fms,63123456,1,x\n", {":2: a subaddress is only for pocsag"}},
        {header + "pocsag,1,,x,alarm\n", {":2: unknown action 'alarm'"}},
        {header + "pocsag,1,x\n# comment\npocsag,1,,a,show,7\n", {":2: 4 or 5 fields", ":4: 4 or 5 fields"}},
        {header + "pocsag,1,,\"open\n", {":2: a quoted field that does not end"}},
        {header + "pocsag,1,,ab\"c\n", {":2: a quote inside an unquoted field"}},
        {header + "\npocsag,1,,Gr\xFC\xDF\n", {":3: not UTF-8"}},
        {header + "pocsag,0001,,one\npocsag,1,a,two\npocsag,1,,three\n", {":4: the same protocol, address and subaddress as line 2"}},
        {header + "pocsag,1,,\n", {":2: no name and no action"}},
        {"", {": empty (no header line)"}},
    };
    ScratchDir dir("station-bad-aliases");
    for (const auto& c : cases) {
        const std::string path = dir.Write("bad.csv", c.content);
        const auto r = RunCommand(Run("--aliases " + path));
        EXPECT_EQ(r.status, 2) << c.content;
        EXPECT_TRUE(r.out.empty()) << c.content << "\n" << r.out;
        for (const std::string& m : c.messages) EXPECT_NE(r.err.find(path + m), std::string::npos) << r.err;
        EXPECT_EQ(Lines(r.err).size(), c.messages.size()) << r.err;
    }
    const auto missing = RunCommand(Run("--aliases " + dir.Path("missing.csv")));
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("missing.csv: cannot be read"), std::string::npos) << missing.err;
}

TEST_F(StationCli, BadStationOptionsAreWrongUsage) {
    const std::vector<std::string> cases = {
        "--only pager:1",        "--only pocsag:abc",          "--only pocsag:5-1",
        "--ignore fms:6312345",  "--only zvei:123456",         "--only pocsag:",
        "--dedup -1",            "--exec-timeout 0",           "--exec /nonexistent/hook.sh",
        "--exec 'no-such-command-anywhere --now'",             "--mqtt http://localhost/t",
        "--mqtt mqtt://localhost", "--mqtt mqtt://localhost:99999/t", "--mqtt mqtt://:1883/t",
        "--mqtt 'mqtt://localhost/a/#'", "--only-named",
    };
    for (const std::string& args : cases) {
        const auto r = RunCommand(Run(args));
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_TRUE(r.out.empty()) << args;
        EXPECT_NE(r.err.find("quorvel-decode: "), std::string::npos) << args;
    }
}

// The alias table and the rules on their own, where the command line cannot
// reach every corner.
TEST(StationParts, AliasLookupPrefersTheSubaddress) {
    station::AliasTable table;
    std::vector<std::string> errors;
    ASSERT_TRUE(table.Parse("\xEF\xBB\xBFProtocol, Address ,subaddress,NAME\n"
                            "pocsag,0012345,,all\npocsag,12345,B,bee\nfms,6312abcd,,lower\nccir,12345,,tones\n",
                            "t", errors))
        << errors.front();
    const struct {
        const char *protocol, *address, *function, *name;
    } cases[] = {
        {"pocsag", "0012345", "1", "bee"}, {"pocsag", "0012345", "0", "all"}, {"pocsag", "12345", "3", "all"},
        {"pocsag", "0012346", "1", nullptr}, {"fms", "6312ABCD", "", "lower"}, {"ccir", "12345", "", "tones"},
        {"zvei", "12345", "", nullptr},     {"fms", "", "", nullptr},
    };
    for (const auto& c : cases) {
        const station::Alias* a = table.Find(c.protocol, c.address, c.function);
        EXPECT_EQ(a == nullptr ? std::string("-") : a->name, c.name == nullptr ? "-" : c.name) << c.protocol << c.address;
    }
    // A bad line leaves the table as it was: empty.
    EXPECT_FALSE(table.Parse("protocol,address,subaddress,name\npocsag,1,,a\nzvei,1,,b\n", "t", errors));
    EXPECT_EQ(table.Size(), 0u);
}

TEST(StationParts, RulesAndTheDuplicateWindow) {
    std::string error;
    const auto range = station::ParseFilterRule("pocsag:1234000-1234999", error);
    const auto fms = station::ParseFilterRule("fms:63123456", error);
    const auto all = station::ParseFilterRule("ccir", error);
    ASSERT_TRUE(range && fms && all) << error;
    station::Call call;
    const struct {
        const char *protocol, *address;
        bool range, fms, all;
    } cases[] = {
        {"pocsag", "1234000", true, false, false}, {"pocsag", "1234999", true, false, false},
        {"pocsag", "1233999", false, false, false}, {"pocsag", "1235000", false, false, false},
        {"fms", "63123456", false, true, false},    {"fms", "63123457", false, false, false},
        {"ccir", "1?345", false, false, true},      {"zvei", "12345", false, false, false},
    };
    for (const auto& c : cases) {
        call.protocol = c.protocol;
        call.address = c.address;
        EXPECT_EQ(range->Matches(call), c.range) << c.protocol << c.address;
        EXPECT_EQ(fms->Matches(call), c.fms) << c.protocol << c.address;
        EXPECT_EQ(all->Matches(call), c.all) << c.protocol << c.address;
    }

    station::DuplicateFilter dedup(10.0);
    auto at = [](double offset, const char* function, const char* detail, const char* message) {
        station::Call c;
        c.protocol = "pocsag";
        c.address = "1234567";
        c.function = function;
        c.detail = detail;
        c.message = message;
        c.offset = offset;
        return c;
    };
    EXPECT_FALSE(dedup.IsDuplicate(at(0.0, "3", "tone", "")));
    EXPECT_FALSE(dedup.IsDuplicate(at(1.0, "3", "alpha", "Brand")));  // text after tone-only
    EXPECT_TRUE(dedup.IsDuplicate(at(2.0, "3", "alpha", "Brand")));
    EXPECT_FALSE(dedup.IsDuplicate(at(3.0, "2", "alpha", "Brand")));  // another function
    EXPECT_TRUE(dedup.IsDuplicate(at(10.9, "3", "alpha", "Brand")));
    EXPECT_FALSE(dedup.IsDuplicate(at(11.0, "3", "alpha", "Brand")));  // 10 s after the written one
    station::DuplicateFilter off(0.0);
    EXPECT_FALSE(off.IsDuplicate(at(0.0, "3", "alpha", "x")));
    EXPECT_FALSE(off.IsDuplicate(at(0.0, "3", "alpha", "x")));
}

}  // namespace
}  // namespace quorvel
