// quorvel-decode --config FILE through the whole program: every kind of option
// (text, number, flag, list) set in the file, the command line winning over it,
// and every fault in the file ending with status 2 before anything is decoded,
// naming the file, the line and the key. --print-config writes a file that reads
// back to the very same run.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "station_test_support.h"
#include "test_support.h"

namespace quorvel {
namespace {

using testing::Lines;
using testing::RunCommand;
using testing::ScratchDir;

const std::string kDecode = QUORVEL_DECODE_PATH;

// What a run wrote, in a few words: "json" and the protocols of its calls in
// order of first appearance, or "text", or "" for nothing.
std::string Summary(const std::string& out) {
    if (out.empty()) return "";
    if (out[0] != '{') return "text";
    std::string s = "json";
    std::set<std::string> seen;
    for (const std::string& line : Lines(out)) {
        const std::string protocol = nlohmann::json::parse(line).value("protocol", "?");
        if (seen.insert(protocol).second) s += " " + protocol;
    }
    return s;
}

class ConfigFile : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new ScratchDir("config-file");
        ASSERT_EQ(testing::StationTraffic().WriteWav(dir_->Path("traffic.wav")), "");
        // The same samples (stereo, the signal on the second channel) without their
        // header, for the raw-input options.
        const std::string wav = dir_->Read("traffic.wav");
        const auto data = wav.find("data");
        ASSERT_NE(data, std::string::npos);
        dir_->Write("traffic.raw", wav.substr(data + 8));
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }

    // Runs the decoder with `config` as its config file (none when null).
    static testing::CommandResult Run(const char* config, const std::string& args,
                                      const std::string& input = "traffic.wav") {
        std::string command = kDecode;
        if (config != nullptr) command += " --config " + dir_->Write("station.conf", config);
        return RunCommand(command + " " + args + " " + dir_->Path(input));
    }

    static ScratchDir* dir_;
};

ScratchDir* ConfigFile::dir_ = nullptr;

TEST_F(ConfigFile, EveryKindOfOptionIsReadAndTheCommandLineWins) {
    struct Case {
        const char* what;
        const char* config;
        std::string args;
        std::string input;
        std::string summary;
        std::string inErr;  // "" when standard error may hold anything
    };
    const Case cases[] = {
        {"text", "format = \"json\"\n", "", "traffic.wav", "json pocsag fms zvei", ""},
        {"text in single quotes, comments, [default]",
         "# the station\n; an INI comment\n[default]\nformat = 'json'\n", "", "traffic.wav", "json pocsag fms zvei", ""},
        {"list with a filter", "format = \"json\"\nonly = [\"fms\", \"zvei:54321\"]\n", "", "traffic.wav",
         "json fms zvei", ""},
        {"list over several lines", "format = \"json\"\ndecoders = [\"zvei\",\n   \"fms\"]\n", "", "traffic.wav",
         "json fms zvei", ""},
        {"flag", "stats = true\n", "", "traffic.wav", "text", "blocks: "},
        {"numbers and texts of a raw input", "type = \"raw\"\nrate = 11025\nchannels = 2\nformat = \"json\"\n", "",
         "traffic.raw", "json pocsag fms zvei", ""},
        {"command line over a text", "format = \"json\"\n", "--format text", "traffic.wav", "text", ""},
        {"command line over a list", "format = \"json\"\nonly = [\"fms\"]\n", "--only zvei", "traffic.wav", "json zvei",
         ""},
        {"command line over a number", "type = \"raw\"\nrate = 1000\nchannels = 2\nformat = \"json\"\n", "-r 11025", "traffic.raw",
         "json pocsag fms zvei", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = Run(c.config, c.args, c.input);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(Summary(r.out), c.summary);
        EXPECT_NE(r.err.find(c.inErr), std::string::npos) << r.err;
    }
    // Without --config the same options are not set.
    EXPECT_EQ(Summary(Run(nullptr, "").out), "text");
}

TEST_F(ConfigFile, AFaultInTheFileNamesTheFileTheLineAndTheKey) {
    struct Case {
        const char* config;
        std::string args;
        std::vector<std::string> inErr;  // beside the config file's path
    };
    const std::string at = "station.conf:";
    const Case cases[] = {
        {"# x\nformat = \"json\"\nfromat = \"text\"\n", "", {at + "3:", "unknown key 'fromat'"}},
        {"decoders = [\"fms\",\n  \"zvei\"]\nstat = true\n", "", {at + "3:", "'stat'"}},
        {"format = \"xml\"\n", "", {at + "1:", "'format'", "xml"}},
        {"\n\ndedup = soon\n", "", {at + "3:", "'dedup'", "soon"}},
        {"channels = 99\n", "", {at + "1:", "'channels'"}},
        {"stats = maybe\n", "", {at + "1:", "'stats'"}},
        {"format = \"json\"\ndecoders = [\"fms\", \"teletext\"]\n", "", {at + "2:", "'decoders'", "teletext"}},
        {"mqtt-wait = -1\n", "", {at + "1:", "'mqtt-wait'"}},
        {"format = \"json\"\nonly = [\"fms\",\n  \"pager:1\"]\n", "", {at + "2:", "'only'", "pager"}},
        {"config = \"other.conf\"\n", "", {at + "1:", "'config'"}},
        {"\nprint-config = true\n", "", {at + "2:", "'print-config'"}},
        {"[station]\nonly = [\"fms\"]\n", "", {at + "1:", "[station]"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.config);
        const auto r = Run(c.config, c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(dir_->Path("station.conf")), std::string::npos) << r.err;
        for (const std::string& part : c.inErr) EXPECT_NE(r.err.find(part), std::string::npos) << part << "\n" << r.err;
    }
    // A bad value on the command line is the command line's, not the file's.
    const auto r = Run("format = \"json\"\n", "--dedup soon");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.find("station.conf"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--dedup"), std::string::npos) << r.err;
}

TEST_F(ConfigFile, AFileThatCannotBeReadEndsTheRun) {
    for (const std::string& path : {dir_->Path("missing.conf"), dir_->Path("")}) {
        const auto r = RunCommand(kDecode + " --config " + path + " " + dir_->Path("traffic.wav"));
        EXPECT_EQ(r.status, 2) << path;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("config file " + path + ": cannot read it"), std::string::npos) << r.err;
    }
}

// The file --print-config writes, as written and with every option that has a
// value uncommented (flags, off by default, show true), gives the run of no
// config file at all; and it holds every long option of --help.
TEST_F(ConfigFile, ThePrintedFileHoldsEveryOptionAndReadsBackToTheDefaults) {
    const auto printed = RunCommand(kDecode + " --print-config");
    ASSERT_EQ(printed.status, 0) << printed.err;
    const auto help = RunCommand(kDecode + " --help");
    ASSERT_EQ(help.status, 0);
    const std::regex longOption(R"(--([a-z][a-z0-9-]*))");
    std::set<std::string> options;
    for (std::sregex_iterator it(help.out.begin(), help.out.end(), longOption), end; it != end; ++it)
        options.insert((*it)[1]);
    ASSERT_GT(options.size(), 20u);
    for (const std::string& option : options) {
        if (option == "help" || option == "version" || option == "config" || option == "print-config") continue;
        EXPECT_NE(printed.out.find("\n# " + option + " ="), std::string::npos) << option;
    }

    std::string uncommented;
    int set = 0;
    const std::regex setting(R"(# ([a-z][a-z0-9-]* = .+))");
    for (const std::string& line : Lines(printed.out)) {
        std::smatch m;
        if (std::regex_match(line, m, setting) && !m[1].str().ends_with(" = true")) {
            uncommented += m[1].str() + "\n";
            ++set;
        }
    }
    EXPECT_GE(set, 8);  // type, channels, table, format, clock, dedup, the timeouts...
    const auto plain = Run(nullptr, "--clock input --format json");
    ASSERT_EQ(plain.status, 0);
    EXPECT_EQ(Summary(plain.out), "json pocsag fms zvei");
    for (const std::string& config : {printed.out, uncommented}) {
        const auto r = Run(config.c_str(), "--clock input --format json");
        EXPECT_EQ(r.status, 0) << r.err << config;
        EXPECT_EQ(r.out, plain.out);
    }
}

}  // namespace
}  // namespace quorvel
