// quorvel-compat as a station runs it: the lines (byte for byte, FMS by column),
// the character sets, the command line, standard input and the line prefixes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "gen/fms_gen.h"
#include "gen/signal.h"
#include "render/compat_renderer.h"
#include "test_support.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using testing::RunCommand;

const std::string kCompat = QUORVEL_COMPAT_PATH;
const std::string kGen = QUORVEL_GEN_PATH;

std::vector<std::string> Lines(const std::string& out) {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class Compat : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("quorvel-compat-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    // A signal written by quorvel-gen: "pocsag --bitrate 512 --call ..." etc.
    std::string Gen(const std::string& name, const std::string& args) {
        const std::string path = Path(name);
        const auto r = RunCommand(kGen + " " + args + " -o " + path);
        EXPECT_EQ(r.status, 0) << args << ": " << r.err;
        return path;
    }
    // The same as raw samples at 22050 Hz (what a station pipes in).
    std::string GenRaw(const std::string& name, const std::string& args) {
        const std::string wav = ReadFileOf(Gen(name + ".wav", args + " --rate 22050 --channels 1"));
        const std::size_t data = wav.find("data");
        EXPECT_NE(data, std::string::npos);
        const std::string path = Path(name);
        std::ofstream(path, std::ios::binary) << wav.substr(data + 8);
        return path;
    }
    static std::string ReadFileOf(const std::string& path) { return testing::ReadFile(path); }

    fs::path dir_;
};

const char* kPocsag1200 =
    "pocsag --bitrate 1200 --call '1234567,0,numeric,0123456789 U-[]' --call 7654,1,tone "
    "--call '12,2,alpha,Brand Wohnhaus: Straße 7' --call 2097151,0,alpha,AB";

TEST_F(Compat, LinesOfEveryKind) {
    struct Case {
        const char* signal;   // quorvel-gen arguments
        const char* options;  // quorvel-compat options
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {kPocsag1200,
         "",
         {"POCSAG1200: Address: 1234567  Function: 0  Numeric: 0123456789 U-[]",
          "POCSAG1200: Address:    7654  Function: 1 ",
          "POCSAG1200: Address:      12  Function: 2  Alpha:   Brand Wohnhaus: Stra~e 7<NUL>",
          // Short, function 0: what our JSON calls numeric.
          "POCSAG1200: Address: 2097151  Function: 0  Numeric: 14120"}},
        {kPocsag1200,
         "-f alpha -e",
         {"POCSAG1200: Address: 1234567  Function: 0  Alpha:   <DLE>dP2<BEL><DC3>o~",
          "POCSAG1200: Address:      12  Function: 2  Alpha:   Brand Wohnhaus: Stra~e 7<NUL>",
          "POCSAG1200: Address: 2097151  Function: 0  Alpha:   AB"}},
        {"pocsag --bitrate 512 --call '273040,3,alpha,512 B SIDE ZZZZZZ' --call 5,2,numeric,95",
         "-f numeric",
         {"POCSAG512: Address:  273040  Function: 3  Alpha:   512 B SIDE ZZZZZZ",
          "POCSAG512: Address:       5  Function: 2  Numeric: 95   "}},
        {"pocsag --bitrate 2400 --inverted --call 8,0,numeric,4711 --call 2000000,3,tone "
         "--call '5321,1,alpha,Einsatz{|}'",
         "",
         {"POCSAG2400: Address:       8  Function: 0  Numeric: 4711 ",
          "POCSAG2400: Address: 2000000  Function: 3 ",
          "POCSAG2400: Address:    5321  Function: 1  Alpha:   Einsatz{|}<NUL>"}},
        // Far from every standard rate: the rate measured, rounded.
        {"pocsag --bitrate 1625 --call 100,0,tone", "", {"POCSAG1625: Address:     100  Function: 0 "}},
        // The telegram of the issue, and its short form.
        {"fms --organisation 6 --land 2 --location 65 --vehicle 4519 --status 3 --build-stage 1 --direction 0 "
         "--tactical 1",
         "",
         {"FMS: 105391545626 (6=Feuerwehr     \t2=Bad-Wuert       \tOrt 0x65=101\tFZG 4519\tStatus "
          "3=Einsatz uebern\t0=FZG->LST\t1=II (ohneNA,mit SIGNAL)\t) CRC correct"}},
        {"fms --organisation 6 --land 2 --location 65 --vehicle 4519 --status 3 --build-stage 1 --tactical 1",
         "-j",
         {"FMS: 105391545626 CRC correct"}},
        // Repeats (the generator sends the repeat tone for a digit repeated).
        {"tones -s 26070 -s 16602", "", {"ZVEI1: 26070", "ZVEI1: 16E02"}},
        {"tones --table ccir -s 99002 -s 12345", "", {"CCIR: 9E0E2", "CCIR: 12345"}},
        {"tones --table ccir -s 99002", "-s CCIR", {}},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string file = Gen("line" + std::to_string(n++) + ".wav", c.signal);
        const auto r = RunCommand(kCompat + " " + c.options + " " + file);
        EXPECT_EQ(r.status, 0) << c.signal << ": " << r.err;
        EXPECT_EQ(Lines(r.out), c.lines) << c.signal << " with '" << c.options << "'";
    }

    // FMS: every digit value in every field, read at the columns a station cuts.
    const char* hex = "0123456789abcdef";
    std::vector<gen::FmsStatusTelegram> telegrams;
    std::vector<double> samples(3000, 0.0);
    for (int v = 0; v < 16; ++v) {
        gen::FmsTransmission tx;
        tx.telegram = {v, v, {v, 15 - v}, {v, (v + 1) % 16, (v + 2) % 16, (v + 3) % 16}, v, v % 2, v % 2, v % 4};
        telegrams.push_back(tx.telegram);
        const auto wave = gen::FmsWaveform(gen::FmsTransmissionBits(tx), 10000.0, 11025);
        samples.insert(samples.end(), wave.begin(), wave.end());
        samples.resize(samples.size() + 5000, 0.0);
    }
    const std::string fms = Path("fms16.wav");
    ASSERT_EQ(gen::WriteWav(fms, gen::Quantize(samples), {11025, 1, 0}), "");
    const auto r = RunCommand(kCompat + " " + fms);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 16u) << r.out;
    const char* tactical[] = {"I  ", "II ", "III", "IV "};
    for (int v = 0; v < 16; ++v) {
        const std::string& line = lines[static_cast<std::size_t>(v)];
        const gen::FmsStatusTelegram& t = telegrams[static_cast<std::size_t>(v)];
        SCOPED_TRACE(line);
        ASSERT_EQ(line.size(), 150u);
        // The hex digits: the bits sent, last one first.
        const auto bits = gen::FmsStatusBits(t);
        for (int d = 0; d < 12; ++d) {
            int value = 0;
            for (int b = 0; b < 4; ++b) value = value * 2 + bits[static_cast<std::size_t>(47 - 4 * d - b)];
            EXPECT_EQ(line[static_cast<std::size_t>(5 + d)], hex[value]) << "hex digit " << d;
        }
        const auto h = [&](int x) { return std::string(1, hex[x]); };
        char location[4];
        std::snprintf(location, sizeof location, "%03d", v * 16 + 15 - v);
        const std::vector<std::pair<std::size_t, std::string>> columns = {
            {0, "FMS: "},
            {17, " ("},
            {19, h(v)},
            {35, "\t" + h(v)},
            {54, "\tOrt 0x"},
            {61, h(v) + h(15 - v) + "=" + location + "\tFZG "},
            {72, h(v) + h((v + 1) % 16) + h((v + 2) % 16) + h((v + 3) % 16) + "\tStatus "},
            {84, h(v) + "="},
            {100, "\t" + std::to_string(v % 2) + "="},
            {103, v % 2 == 0 ? "FZG->LS" : "LST->FZ"},
            {111, "\t" + std::to_string(v % 4) + "="},
            {114, tactical[v % 4]},
            {136, "\t) CRC correct"},
        };
        for (const auto& [at, text] : columns) EXPECT_EQ(line.substr(at, text.size()), text) << "column " << at;
    }
}

}  // namespace
}  // namespace quorvel

namespace quorvel {
namespace {

TEST(CompatText, CharacterSets) {
    // As our events carry it: the German positions as Windows-1252 umlauts.
    const std::string eventText = "#@\xC4\xD6\xDC^`\xE4\xF6\xFC\xDF <NUL>Az~";
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"US", "#@[\\]^`{|}~ <NUL>Az~"},  {"de", "#§ÄÖÜ^`äöüß <NUL>Azß"}, {"FR", "£à°ç§^µéùè¨ <NUL>Az¨"},
        {"SE", "#ÉÄÖÅÜéäöåü <NUL>Azü"},  {"DK", "#@ÆØÅ^`æøå~ <NUL>Az~"},  {"SI", "#ŽŠĐĆČžšđćč <NUL>Azč"},
    };
    for (const auto& [name, want] : cases) {
        compat::Charset cs{};
        ASSERT_TRUE(compat::ParseCharset(name, cs)) << name;
        EXPECT_EQ(compat::PocsagText(eventText, cs), want) << name;
    }
    compat::Charset cs{};
    EXPECT_FALSE(compat::ParseCharset("GB", cs));
    EXPECT_FALSE(compat::ParseCharset("DEU", cs));
}

// Which calls are printed, and as what: -f, -e, -p and -b over one call each.
TEST(CompatText, PocsagOptions) {
    compat::PocsagCall shortCall;  // 3 codewords, function 0: digits and text
    shortCall.bitRate = 1187.0;
    shortCall.ric = 42;
    shortCall.codewords = 3;
    shortCall.hasNumeric = true;
    shortCall.numericType = true;
    shortCall.numeric = "112";
    shortCall.alpha = "AB\xDF";
    compat::PocsagCall tone = shortCall;
    tone.codewords = 0;
    compat::PocsagCall longCall = shortCall;  // digits only exist for short messages
    longCall.codewords = 6;
    longCall.hasNumeric = longCall.numericType = false;
    compat::PocsagCall cut = shortCall;
    cut.complete = false;
    compat::PocsagCall repaired = shortCall;
    repaired.mostBitsCorrected = 2;

    const std::string head = "POCSAG1200: Address:      42  Function: 0 ";
    struct Case {
        const compat::PocsagCall* call;
        compat::TextMode mode;
        bool e, p;
        int b;
        std::string want;  // empty: not printed
    };
    using M = compat::TextMode;
    const std::vector<Case> cases = {
        {&shortCall, M::Auto, false, false, -1, head + " Numeric: 112"},
        {&shortCall, M::Alpha, false, false, -1, head + " Alpha:   AB~"},
        {&longCall, M::Auto, false, false, -1, head + " Alpha:   AB~"},
        {&longCall, M::Numeric, false, false, -1, head + " Alpha:   AB~"},
        {&tone, M::Auto, false, false, -1, head},
        {&tone, M::Auto, true, false, -1, ""},
        {&cut, M::Auto, false, false, -1, ""},
        {&cut, M::Auto, false, true, -1, head + " Numeric: 112"},
        {&repaired, M::Auto, false, false, 2, head + " Numeric: 112"},
        {&repaired, M::Auto, false, false, 1, ""},
        {&shortCall, M::Auto, false, false, 0, head + " Numeric: 112"},
    };
    for (const Case& c : cases) {
        compat::CompatOptions o;
        o.textMode = c.mode;
        o.skipToneOnly = c.e;
        o.printIncomplete = c.p;
        o.maxBitsPerCodeword = c.b;
        EXPECT_EQ(compat::PocsagCallLine(*c.call, o), c.want)
            << "codewords " << c.call->codewords << " -e " << c.e << " -p " << c.p << " -b " << c.b;
    }
}

TEST(CompatText, LinePrefixes) {
    const DateTime t{2024, 5, 6, 14, 3, 7, 999};
    compat::CompatOptions o;
    EXPECT_EQ(compat::LinePrefix(t, o), "");
    o.timestamp = true;
    EXPECT_EQ(compat::LinePrefix(t, o), "2024-05-06 14:03:07: ");
    o.label = "RX 1";
    EXPECT_EQ(compat::LinePrefix(t, o), "2024-05-06 14:03:07: RX 1: ");
    o.timestamp = false;
    EXPECT_EQ(compat::LinePrefix(t, o), "RX 1: ");
}

}  // namespace
}  // namespace quorvel

namespace quorvel {
namespace {

const std::string kP1200 = "POCSAG1200: Address:      12  Function: 2  Alpha:   Zug{}";
const std::string kP512 = "POCSAG512: Address:  273040  Function: 3  Alpha:   512 B SIDE ZZZZZZ";
const std::string kFms =
    "FMS: 105391545626 (6=Feuerwehr     \t2=Bad-Wuert       \tOrt 0x65=101\tFZG 4519\tStatus 3=Einsatz "
    "uebern\t0=FZG->LST\t1=II (ohneNA,mit SIGNAL)\t) CRC correct";
const std::string kZvei = "ZVEI1: 26070";
const std::string kCcir = "CCIR: 9E0E2";

// One stretch of raw samples at 22050 Hz holding a call of every kind, in the
// order of the constants above.
class CompatCli : public Compat {
protected:
    std::string Traffic() {
        const std::vector<std::string> parts = {
            GenRaw("p1200", "pocsag --bitrate 1200 --call '12,2,alpha,Zug{}'"),
            GenRaw("p512", "pocsag --bitrate 512 --call '273040,3,alpha,512 B SIDE ZZZZZZ'"),
            GenRaw("fms", "fms --organisation 6 --land 2 --location 65 --vehicle 4519 --status 3 --build-stage 1 "
                          "--tactical 1"),
            GenRaw("zvei", "tones -s 26070"),
            GenRaw("ccir", "tones --table ccir -s 99002"),
        };
        const std::string path = Path("traffic.raw");
        std::ofstream out(path, std::ios::binary);
        for (const std::string& p : parts) out << ReadFileOf(p);
        return path;
    }
};

// Expected lines; one ending in '*' need only start with what comes before it.
void ExpectLines(const std::string& out, const std::vector<std::string>& want, const std::string& what) {
    const auto got = Lines(out);
    ASSERT_EQ(got.size(), want.size()) << what << ":\n" << out;
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (!want[i].empty() && want[i].back() == '*') {
            EXPECT_EQ(got[i].rfind(want[i].substr(0, want[i].size() - 1), 0), 0u) << what << ": " << got[i];
        } else {
            EXPECT_EQ(got[i], want[i]) << what;
        }
    }
}

TEST_F(CompatCli, OptionGrammar) {
    const std::string traffic = Traffic();
    const std::string cut = Path("cut.raw");
    {
        // A long message whose recording ends in its middle.
        const std::string raw = ReadFileOf(GenRaw(
            "long", "pocsag --lead 0 --tail 0 --call '12,2,alpha,A long message that is cut off by the end of the "
                    "recording before its end'"));
        std::ofstream(cut, std::ios::binary) << raw.substr(0, raw.size() * 7 / 10 / 2 * 2);
    }
    const std::string kAllKnown = "POCSAG512, POCSAG1200, POCSAG2400, FMSFSK, ZVEI1, CCIR";
    struct Case {
        std::string args;
        int status;
        std::vector<std::string> lines;
        std::string error;  // part of standard error
        const std::string* input = nullptr;  // standard input, else the traffic
    };
    const std::vector<Case> cases = {
        // The stations' own command lines.
        {"-a FMSFSK -a ZVEI1 -a POCSAG512 -a POCSAG1200 -a POCSAG2400 -f alpha -t raw /dev/stdin -", 0,
         {kP1200, kP512, kFms, kZvei}, ""},
        {"-a FMSFSK -a ZVEI1 -a POCSAG512 -a POCSAG1200 -a POCSAG2400 -C DE -f alpha -t raw -", 0,
         {"POCSAG1200: Address:      12  Function: 2  Alpha:   Zugäü", kP512, kFms, kZvei}, ""},
        {"-q -b1 -c -a POCSAG512 -f alpha -t raw /dev/stdin", 0, {kP1200, kP512}, ""},
        // -a, -s and -c in the order given.
        {"-t raw -", 0, {kP1200, kP512, kFms, kZvei, kCcir}, ""},
        {"-s ZVEI1 -s FMSFSK -t raw -", 0, {kP1200, kP512, kCcir}, ""},
        {"-a CCIR -c -a ZVEI1 -traw -", 0, {kZvei}, ""},
        {"-a FMSFSK -s FMSFSK -t raw -", 0, {}, ""},
        // Letters glued together, and the ones that change nothing.
        {"-qej -v 3 -m -r -i -u -n -aFMSFSK -t raw -", 0, {"FMS: 105391545626 CRC correct"}, ""},
        {"-t raw --label=X -", 0, {"X: " + kP1200, "X: " + kP512, "X: " + kFms, "X: " + kZvei, "X: " + kCcir}, ""},
        // Incomplete calls only with -p.
        {"-t raw -", 0, {}, "", &cut},
        {"-p -t raw -", 0, {"POCSAG1200: Address:      12  Function: 2  Alpha:   A long message that is cut off*"}, "",
         &cut},
        // Usage errors: status 2, nothing on standard output.
        {"-a POCSAG -t raw -", 2, {}, kAllKnown},
        {"-s FMS -t raw -", 2, {}, kAllKnown},
        {"-f skyper -t raw -", 2, {}, "skyper"},
        {"-f text -t raw -", 2, {}, "alpha, numeric, auto"},
        {"-C GB -t raw -", 2, {}, "US, DE, FR, SE, DK, SI"},
        {"-b3 -t raw -", 2, {}, "0, 1 or 2"},
        {"-t mp3 -", 2, {}, "raw, wav, flac, ogg"},
        {"-k -t raw -", 2, {}, "'-k'"},
        {"--verbose -t raw -", 2, {}, "'--verbose'"},
        {"-t raw - -a", 2, {}, "-a needs a value"},
        {"-t raw - --label", 2, {}, "--label needs a text"},
        // Unreadable input: status 1, the others still decoded.
        {"-t raw /nonexistent/x.raw -", 1, {kP1200, kP512, kFms, kZvei, kCcir}, "/nonexistent/x.raw"},
    };
    for (const Case& c : cases) {
        const auto r = RunCommand(kCompat + " " + c.args + " < " + (c.input != nullptr ? *c.input : traffic));
        EXPECT_EQ(r.status, c.status) << c.args << ": " << r.err;
        ExpectLines(r.out, c.lines, c.args);
        if (!c.error.empty()) {
            EXPECT_NE(r.err.find(c.error), std::string::npos) << c.args << ": " << r.err;
        }
    }
    const auto help = RunCommand(kCompat + " --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find(kAllKnown), std::string::npos);
    const auto version = RunCommand(kCompat + " --version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("quorvel-compat ", 0), 0u);
}

// Standard input named twice is read once, from a pipe or a file, raw or a
// sound file (told by its first bytes).
TEST_F(CompatCli, StandardInputGivenTwice) {
    const std::string raw = Traffic();
    const std::string wav = Gen("p.wav", "pocsag --bitrate 512 --call '273040,3,alpha,512 B SIDE ZZZZZZ'");
    struct Case {
        std::string command;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"cat " + raw + " | " + kCompat + " -t raw - /dev/stdin", {kP1200, kP512, kFms, kZvei, kCcir}},
        {kCompat + " -t raw /dev/stdin - < " + raw, {kP1200, kP512, kFms, kZvei, kCcir}},
        {"cat " + raw + " | " + kCompat + " - /dev/stdin", {kP1200, kP512, kFms, kZvei, kCcir}},
        {"cat " + wav + " | " + kCompat + " /dev/stdin -", {kP512}},
        {kCompat + " - - < " + wav, {kP512}},
    };
    for (const Case& c : cases) {
        const auto r = RunCommand(c.command);
        EXPECT_EQ(r.status, 0) << c.command << ": " << r.err;
        ExpectLines(r.out, c.lines, c.command);
    }
}

TEST_F(CompatCli, TimeStampAndLabel) {
    const auto r = RunCommand(kCompat + " --timestamp --label 'RX 1' -t raw - < " + Traffic());
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> plain = {kP1200, kP512, kFms, kZvei, kCcir};
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), plain.size()) << r.out;
    const std::regex stamp("^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}: RX 1: ");
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_search(lines[i], m, stamp)) << lines[i];
        EXPECT_EQ(lines[i].substr(static_cast<std::size_t>(m.length(0))), plain[i]);
    }
}

// quorvel-decode's JSON takes the same character sets; without --charset its
// text is what it always was (the German letters, @ kept).
TEST_F(CompatCli, DecodeCharset) {
    const std::string file = Gen("cs.wav", "pocsag --call '12,2,alpha,{|}[@'");
    const std::string decode = std::string(QUORVEL_DECODE_PATH) + " --sensitive --format json ";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "\"message\":\"äöüÄ@"},
        {"--charset SE ", "\"message\":\"äöåÄÉ"},
        {"--charset us ", "\"message\":\"{|}[@"},
    };
    for (const auto& [option, want] : cases) {
        const auto r = RunCommand(decode + option + file);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(want), std::string::npos) << option << ": " << r.out;
    }
    EXPECT_EQ(RunCommand(decode + "--charset XX " + file).status, 2);
}

// -b over calls in noise: each limit prints a subset of the looser one, and the
// strictest leaves out calls the decoder repaired.
TEST_F(CompatCli, CorrectedBitsLimit) {
    std::string calls;
    for (int i = 1; i <= 30; ++i)
        calls += " --call " + std::to_string(1000 + i) + ",3,alpha,Message_" + std::to_string(i);
    const std::string noisy = Gen("noisy.wav", "pocsag --snr 0 --seed 3" + calls);
    std::vector<std::vector<std::string>> printed;
    for (const char* b : {"", "-b2", "-b1", "-b0"}) {
        const auto r = RunCommand(kCompat + " " + b + " " + noisy);
        ASSERT_EQ(r.status, 0) << r.err;
        printed.push_back(Lines(r.out));
    }
    for (std::size_t k = 1; k < printed.size(); ++k) {
        for (const std::string& line : printed[k])
            EXPECT_NE(std::find(printed[k - 1].begin(), printed[k - 1].end(), line), printed[k - 1].end()) << line;
    }
    EXPECT_GE(printed[0].size(), 28u);
    EXPECT_LT(printed[3].size(), printed[0].size() / 2);
}

}  // namespace
}  // namespace quorvel
