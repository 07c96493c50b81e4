// quorvel-decode where a new user is easily surprised: --start-time that
// names no real moment, MQTT topics and passwords, alias names in every script
// and of absurd length, inputs that decode nothing (a silent channel, no
// samples), options that do not apply, and the systemd unit's pipeline when
// its receiver ends. Each is answered with a clear message and status.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstdlib>
#include <regex>

#include "core/common.h"
#include "station/station.h"
#include "station_test_support.h"
#include "test_support.h"

namespace quorvel {
namespace {

using testing::Lines;
using testing::RunCommand;
using testing::ScratchDir;

const std::string kDecode = QUORVEL_DECODE_PATH;
const std::string kGen = QUORVEL_GEN_PATH;

std::string Quoted(const std::string& s) { return "'" + std::regex_replace(s, std::regex("'"), "'\\''") + "'"; }

class CliHardening : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new ScratchDir("cli-hardening");
        ASSERT_EQ(testing::StationTraffic().WriteWav(dir_->Path("traffic.wav")), "");
        // A call on channel 1 of a stereo file, channel 2 silent.
        const auto r = RunCommand(kGen + " pocsag -o " + dir_->Path("left.wav") +
                                  " --channels 2 --signal-channel 1 --call 1234567,3,alpha,Links --lead 0.3 --tail 0.3");
        ASSERT_EQ(r.status, 0) << r.err;
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static ScratchDir* dir_;
};

ScratchDir* CliHardening::dir_ = nullptr;

TEST_F(CliHardening, StartTimesThatNameNoRealMomentAreWrongUsage) {
    const std::string file = dir_->Path("left.wav");
    const struct {
        const char* start;
        const char* begin;  // of the transmission, 0.371 s in; nullptr: status 2
    } cases[] = {
        {"2024-02-29T14:00:00+01:00", "2024-02-29T14:00:00.371+01:00"},  // a leap day
        {"2024-05-06 23:59:59.5Z", "2024-05-06T23:59:59.871+00:00"},
        {"2024-05-06T14:00:00-12:00", "2024-05-06T14:00:00.371-12:00"},
        {"2024-05-06T14:00:00+14:00", "2024-05-06T14:00:00.371+14:00"},
        {"2024-02-30T14:00:00", nullptr},  // used to roll over into March
        {"2023-02-29T14:00:00", nullptr},
        {"2024-04-31T14:00:00Z", nullptr},
        {"2024-05-06T14:00:00+99:00", nullptr},  // used to be written into every time
        {"2024-05-06T14:00:00+14:30", nullptr},
        {"2024-05-06T14:00:00-12:01", nullptr},
        {"2024-05-06T14:00:00+02:60", nullptr},
        {"2024-05-06T14:00:00+02:00 and more", nullptr},  // trailing text used to be ignored
        {"2024-05-06T14:00:00Zulu", nullptr},
        {"2024-05-06T14:00:00+2:00", nullptr},
        {"2024-05-06T14:00:00.", nullptr},
        {"2024-5-06T14:00:00", nullptr},
        {"2024-05-06T24:00:00", nullptr},
        {" 2024-05-06T14:00:00", nullptr},
        {"+2024-05-06T14:00:00", nullptr},
    };
    for (const auto& c : cases) {
        const auto r = RunCommand(kDecode + " --specified --channel 1 --format json --clock input --start-time " + Quoted(c.start) +
                                  " " + file);
        if (c.begin == nullptr) {
            EXPECT_EQ(r.status, 2) << c.start << "\n" << r.out;
            EXPECT_NE(r.err.find("--start-time"), std::string::npos) << c.start << "\n" << r.err;
            EXPECT_TRUE(r.out.empty()) << c.start;
        } else {
            ASSERT_EQ(r.status, 0) << c.start << "\n" << r.err;
            EXPECT_NE(r.out.find(std::string("\"begin\":\"") + c.begin + "\""), std::string::npos) << c.start << "\n" << r.out;
        }
    }
}

TEST_F(CliHardening, SurprisingInputsAndOptionsAreExplained) {
    const std::string left = dir_->Path("left.wav");
    const std::string traffic = dir_->Path("traffic.wav");
    // A WAV file whose data chunk holds no samples.
    const std::string emptyWav = dir_->Write("empty.wav", std::string("RIFF\x24\0\0\0WAVEfmt ", 16) +
                                                              std::string("\x10\0\0\0\x01\0\x01\0\x11\x2B\0\0\x22\x56\0\0"
                                                                          "\x02\0\x10\0data\0\0\0\0",
                                                                          28));
    const struct {
        std::string args;
        int status;
        std::string message;  // in standard error
        bool decoded;         // the call on channel 1 shows
    } cases[] = {
        {left, 0, "warning: channel 2 of " + left + " is silent while channel 1 carries signal; decode that one "
                  "with --channel 1", false},
        {"--channel 1 " + left, 0, "", true},
        {"-r 22050 " + left, 0, "warning: -r and -c describe raw samples; " + left + " is read as its header says "
                             "(11025 Hz, 2 channel(s))", false},
        {"-c 2 --channel 1 " + left, 0, "-t raw", true},
        {"--table zvei3 " + left, 2, "unknown tone table 'zvei3'; the tables are zvei-normal, zvei-wide, "
                                     "zvei-narrow or ccir", false},
        {emptyWav, 0, "warning: " + emptyWav + " holds no samples; nothing was decoded", false},
        {"-t raw -r 22050 - </dev/null", 0, "warning: standard input holds no samples", false},
        {"--aliases " + dir_->Path("") + " " + traffic, 2, dir_->Path("") + ": a directory, not an alias file",
         false},
    };
    for (const auto& c : cases) {
        const auto r = RunCommand(kDecode + " --clock input " + c.args);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
        if (c.message.empty()) EXPECT_EQ(r.err, "") << c.args;
        else EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << "\n" << r.err;
        EXPECT_EQ(r.out.find("AlphaNum:\tLinks") != std::string::npos, c.decoded) << c.args << "\n" << r.out;
    }
}

// A constant-bit-rate MP3's frame count is the library's estimate: reading to
// its end is not a file cut short.
TEST_F(CliHardening, AnMp3ReadToItsEndIsNotCutShort) {
    SF_INFO info{};
    info.samplerate = 11025;
    info.channels = 1;
    info.format = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
    if (!sf_format_check(&info)) GTEST_SKIP() << "this sound-file library writes no MP3";
    const std::string path = dir_->Path("tone.mp3");
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    int constant = SF_BITRATE_MODE_CONSTANT;
    sf_command(file, SFC_SET_BITRATE_MODE, &constant, sizeof constant);
    std::vector<double> block(1000);
    for (int b = 0; b < 55; ++b) {
        for (std::size_t k = 0; k < block.size(); ++k)
            block[k] = (b % 7 != 0 ? 0.5 : 0.05) * std::sin(0.3 * static_cast<double>(b * 1000 + static_cast<int>(k)));
        sf_writef_double(file, block.data(), static_cast<sf_count_t>(block.size()));
    }
    sf_close(file);
    const auto r = RunCommand(kDecode + " --clock input " + path);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("frames its header claims"), std::string::npos) << r.err;
}

TEST_F(CliHardening, AliasNamesStayUtf8AndOverlongNamesAreRefused) {
    const std::string name = "\xC5\x81\xC3\xB3\x64\xC5\xBA Stra\xC5\xBC \xF0\x9F\x9A\x92";  // Łódź Straż and a fire engine
    const std::string names = dir_->Write("utf8.csv", "protocol,address,subaddress,name\nfms,63123456,,\"" + name +
                                                          "\"\nzvei,54321,,Gr\xC3\xBC\xC3\x9F" "e\n");
    const auto text = RunCommand(kDecode + " --clock input --only fms --only zvei:54321 --aliases " + names + " " +
                                 dir_->Path("traffic.wav"));
    ASSERT_EQ(text.status, 0) << text.err;
    const auto lines = Lines(text.out);
    ASSERT_EQ(lines.size(), 4u) << text.out;
    for (std::size_t i = 0; i < 3; ++i) EXPECT_TRUE(lines[i].ends_with("\t" + name)) << lines[i];
    EXPECT_TRUE(lines[3].ends_with("ZVEI: 54321\tGr\xC3\xBC\xC3\x9F" "e")) << lines[3];
    // --raw-text stays Windows-1252 throughout: what it cannot hold becomes '?'.
    const auto raw = RunCommand(kDecode + " --clock input --raw-text --only zvei:54321 --only fms --aliases " + names + " " +
                                dir_->Path("traffic.wav"));
    EXPECT_NE(raw.out.find("\t?\xF3" "d? Stra? ?\r\n"), std::string::npos) << raw.out;
    EXPECT_NE(raw.out.find("\tGr\xFC\xDF" "e\r\n"), std::string::npos) << raw.out;

    const struct {
        std::size_t bytes;
        bool accepted;
    } lengths[] = {{station::kMaxAliasNameBytes, true}, {station::kMaxAliasNameBytes + 1, false}, {128 * 1024, false}};
    for (const auto& l : lengths) {
        const std::string file = dir_->Write("long.csv", "protocol,address,subaddress,name\nzvei,12345,," +
                                                              std::string(l.bytes, 'n') + "\n");
        const auto r = RunCommand(kDecode + " --clock input --only zvei --aliases " + file + " " + dir_->Path("traffic.wav"));
        EXPECT_EQ(r.status, l.accepted ? 0 : 2) << l.bytes << "\n" << r.err.substr(0, 300);
        if (!l.accepted) {
            EXPECT_NE(r.err.find(file + ":2: a name of " + std::to_string(l.bytes) + " bytes (at most 256)"),
                      std::string::npos)
                << r.err.substr(0, 300);
        }
    }
}

TEST_F(CliHardening, MqttTopicsAndPasswords) {
    const std::string wav = dir_->Path("left.wav");
    // Topics a broker would refuse on every publish: refused at the start.
    const std::vector<std::string> badTopics = {"q\x01", "q\x7F", "q\xFF", "q\xC3", "a/\xC2\x85", "a/+", "a/#/b",
                                                "\xED\xA0\x80", std::string(65001, 't')};
    for (const std::string& topic : badTopics) {
        const auto r = RunCommand(kDecode + " --mqtt " + Quoted("mqtt://127.0.0.1:1/" + topic) + " " + wav);
        EXPECT_EQ(r.status, 2) << topic.substr(0, 20) << "\n" << r.err.substr(0, 300);
        EXPECT_NE(r.err.find("--mqtt 'mqtt://127.0.0.1:1/"), std::string::npos) << r.err.substr(0, 300);
        EXPECT_TRUE(r.out.empty());
    }
    const auto escaped = RunCommand(kDecode + " --mqtt " + Quoted("mqtt://h/q\x01\xFF") + " " + wav);
    EXPECT_NE(escaped.err.find("'mqtt://h/q\\x01\\xff': the topic must be UTF-8 text without control characters"),
              std::string::npos)
        << escaped.err;

    // Where the password comes from: the URL, a file, the environment.
    const std::string file = dir_->Write("password", "s3cret:with@signs\r\nsecond line\n");
    const std::string emptyFile = dir_->Write("empty-password", "\n");
    ::unsetenv("QUORVEL_MQTT_USER");
    const struct {
        std::string url, passwordFile, environment;
        std::string password;  // expected; "!" + text: an error containing the text
    } cases[] = {
        {"mqtt://ann:inurl@h/t", "", "", "inurl"},
        {"mqtt://ann@h/t", "", "fromenv", "fromenv"},
        {"mqtt://ann@h/t", file, "fromenv", "s3cret:with@signs"},
        {"mqtt://ann@h/t", file, "", "s3cret:with@signs"},
        {"mqtt://ann:inurl@h/t", file, "", "!the --mqtt URL has a password already"},
        {"mqtt://h/t", file, "", "!no user to go with it"},
        {"mqtt://ann@h/t", dir_->Path("missing"), "", "!cannot be read"},
        {"mqtt://ann@h/t", emptyFile, "", "!the first line (the password) is empty"},
        {"", file, "", "!--mqtt-password-file needs --mqtt"},
    };
    for (const auto& c : cases) {
        if (c.environment.empty()) ::unsetenv("QUORVEL_MQTT_PASSWORD");
        else ::setenv("QUORVEL_MQTT_PASSWORD", c.environment.c_str(), 1);
        station::StationOptions options;
        options.mqtt = c.url;
        options.mqttPasswordFile = c.passwordFile;
        station::StationConfig config;
        std::vector<std::string> errors;
        SystemClock clock;
        const auto created = station::Create(options, clock, false, errors);
        if (c.password[0] == '!') {
            ASSERT_EQ(errors.size(), 1u) << c.url << " " << c.passwordFile;
            EXPECT_NE(errors[0].find(c.password.substr(1)), std::string::npos) << errors[0];
            EXPECT_EQ(created, nullptr);
        } else {
            ASSERT_TRUE(station::Configure(options, config, errors)) << errors.front();
            EXPECT_EQ(config.mqttTarget.password, c.password) << c.url << " " << c.passwordFile;
        }
    }
    ::unsetenv("QUORVEL_MQTT_PASSWORD");
}

// The unit's own command line, with the receiver replaced: when either part of
// the pipeline ends, the pipeline fails, so that Restart=on-failure starts it
// again.
TEST_F(CliHardening, TheSystemdUnitFailsWhenItsReceiverEnds) {
    const std::string unit = testing::ReadFile(std::string(QUORVEL_SOURCE_DIR) + "/contrib/quorvel-decode.service");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(unit, m, std::regex("\nExecStart=([^\n]*)\n"))) << unit;
    const std::string command = m[1];
    ASSERT_TRUE(std::regex_search(command, std::regex("rtl_fm [^|]*\\| "))) << command;
    const std::string names = dir_->Write("names.csv", "protocol,address,subaddress,name\npocsag,1234567,,Wache\n");
    // The unit's config file, with the station's names.
    const std::string config = dir_->Write("quorvel-decode.conf", "aliases = \"" + names + "\"\n");
    // One call as the receiver's raw samples at 22050 Hz.
    const std::string wav = dir_->Path("receiver.wav");
    const auto g = RunCommand(kGen + " pocsag -o " + wav +
                              " --rate 22050 --channels 1 --call 1234567,3,alpha,Empfangen --lead 0.3 --tail 0.5");
    ASSERT_EQ(g.status, 0) << g.err;
    const struct {
        std::string receiver;
        bool decoded;
    } receivers[] = {
        {"sh -c \"exit 3\"", false},                // dies at once
        {"head -c 44100 /dev/zero", false},         // ends cleanly after a second of silence
        {"tail -c +45 " + wav, true},               // ends after a call
        {"sh -c \"tail -c +45 " + wav + "; kill -9 \\$\\$\"", true},  // killed
    };
    for (const auto& r : receivers) {
        std::string line = std::regex_replace(command, std::regex("rtl_fm [^|]*\\| "), r.receiver + " | ");
        line = std::regex_replace(line, std::regex("/usr/(local/)?bin/quorvel-decode"), kDecode);
        line = std::regex_replace(line, std::regex("/etc/quorvel/quorvel-decode.conf"), config);
        line = std::regex_replace(line, std::regex("/etc/quorvel/names.csv"), names);
        line = std::regex_replace(line, std::regex("/var/lib/quorvel/calls.db"), dir_->Path("calls.db"));
        // No broker is needed: nothing is queued for it unless a call passes,
        // and then it is only waited for briefly.
        line = std::regex_replace(line, std::regex("--mqtt mqtt://localhost/quorvel"),
                                  "--mqtt mqtt://127.0.0.1:1/quorvel --mqtt-wait 0.2");
        const auto result = RunCommand(line);
        EXPECT_NE(result.status, 0) << line << "\n" << result.err;
        EXPECT_EQ(result.out.find("Empfangen") != std::string::npos, r.decoded)
            << line << "\n" << result.out << result.err;
    }
}

}  // namespace
}  // namespace quorvel
