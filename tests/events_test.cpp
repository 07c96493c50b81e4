// Events and their renderers: JSON objects parsed back field by field, JSON of
// awkward bytes, quorvel-decode --format json on a recording with every kind of
// call (offsets against where the generator put them), line-by-line output
// through a pipe, calls that end at the last sample of the input, and a decoder
// added through the registry alone.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <nlohmann/json.hpp>
#include <sstream>

#include "gen/fms_gen.h"
#include "gen/pocsag_gen.h"
#include "gen/signal.h"
#include "gen/tone_gen.h"
#include "render/json_renderer.h"
#include "test_support.h"

namespace quorvel {
namespace {

using nlohmann::json;
using testing::DecodeSamples;
using testing::RunCommand;

const DateTime kNow{2024, 5, 6, 14, 3, 7, 250};
const DateTime kUtc{2024, 5, 6, 12, 3, 7, 250};

json Parse(const Event& e, JsonEvents& j) {
    std::string text;
    EXPECT_TRUE(j.ToJson(e, text));
    return json::parse(text);
}

TEST(JsonEvents, EveryKindFieldByField) {
    FixedClock clock(kNow, kUtc);
    JsonEvents j(clock, 11025);

    PocsagCallEnd call;
    call.at = {11025 * 3 + 5513, kNow};
    call.ric = 1234567;
    call.function = 3;
    call.bitRate = 1199.6;
    call.codewords = 3;
    call.errors = 1;
    call.hasNumeric = true;
    call.numeric = "123";
    call.alpha = "Gr\xFC\xDF<NUL>";
    json c = Parse(call, j);
    EXPECT_EQ(c["time"], "2024-05-06T14:03:07.250+02:00");
    EXPECT_EQ(c["offset"], 3.5);
    EXPECT_EQ(c["protocol"], "pocsag");
    EXPECT_EQ(c["ric"], 1234567);
    EXPECT_EQ(c["function"], 3);
    EXPECT_EQ(c["bitrate"], 1200);
    EXPECT_EQ(c["polarity"], "normal");
    EXPECT_EQ(c["type"], "alpha");
    EXPECT_EQ(c["message"], "Grüß");
    EXPECT_EQ(c["numeric"], "123");
    EXPECT_EQ(c["alpha"], "Grüß<NUL>");
    EXPECT_EQ(c["codewords"], 3);
    EXPECT_EQ(c["errors"], 1);
    EXPECT_FALSE(c.contains("incomplete"));

    call.function = 0;  // a short message to function 0 reads as digits
    EXPECT_EQ(Parse(call, j)["type"], "numeric");
    EXPECT_EQ(Parse(call, j)["message"], "123");
    PocsagCallEnd tone;
    tone.inverted = true;
    tone.complete = false;
    json t = Parse(tone, j);
    EXPECT_EQ(t["type"], "tone");
    EXPECT_EQ(t["message"], "");
    EXPECT_EQ(t["polarity"], "inverted");
    EXPECT_EQ(t["incomplete"], true);
    EXPECT_FALSE(t.contains("numeric"));

    PocsagTransmissionEnd end;
    end.idles = 4;
    end.syncs = 2;
    end.bits = 1000;
    end.bitRate = 511.987;
    end.crcErrors = 3;
    json e = Parse(end, j);
    EXPECT_EQ(e["event"], "transmission_end");
    EXPECT_EQ(e["bitrate"], 511.99);
    EXPECT_EQ(e["crc_errors"], 3);
    EXPECT_EQ(e["idles"], 4);

    // Organisation 6, Land 3, location 1 2, vehicle 3 4 5 6, status 2, tactical 1.
    FmsTelegram fms;
    const gen::FmsBlockBits bits = gen::FmsStatusBits(gen::FmsStatusTelegram{});
    std::copy(bits.begin(), bits.end(), fms.bits.begin());
    fms.check = FmsCheckOf(fms.bits);
    json f = Parse(fms, j);
    EXPECT_EQ(f["protocol"], "fms");
    EXPECT_EQ(f["address"], "63123456");
    EXPECT_EQ(f["organisation"], 6);
    EXPECT_EQ(f["organisation_name"], "Feuerwehr");
    EXPECT_EQ(f["land_name"], "Bay I");
    EXPECT_EQ(f["location"], "12");
    EXPECT_EQ(f["vehicle"], "3456");
    EXPECT_EQ(f["status"], "2");
    EXPECT_EQ(f["direction"], "F>L");
    EXPECT_EQ(f["tactical_name"], "II");
    EXPECT_EQ(f["bits"].get<std::string>().size(), 12u);
    EXPECT_EQ(f["check"], fms.check == FmsCheck::Ok ? "ok" : "failed");

    // Follow-on text: blocks make no object, the end makes one.
    FmsTextBlock first;
    first.index = 1;
    first.number = 10;
    first.characters = "Lag";
    FmsTextBlock second;
    second.index = 2;
    second.characters = "e \t\n";
    std::string ignored;
    EXPECT_FALSE(j.ToJson(first, ignored));
    EXPECT_FALSE(j.ToJson(second, ignored));
    json text = Parse(FmsTextEnd{{}, false}, j);
    EXPECT_EQ(text["event"], "fms_text");
    EXPECT_EQ(text["address"], "63123456");
    EXPECT_EQ(text["number"], 10);
    EXPECT_EQ(text["text"], "Lage \t\n");
    EXPECT_EQ(text["incomplete"], true);

    // CCIR 1 2 R 4 and a tone outside the table.
    ToneSequence tones;
    tones.table = 3;
    tones.frequencies = {1124.04, 1197, 2110, 1358, 3000};
    tones.entries = {0, 1, 10, 3, -1};
    json s = Parse(tones, j);
    EXPECT_EQ(s["protocol"], "ccir");
    EXPECT_EQ(s["table"], "CCIR");
    EXPECT_EQ(s["sequence"], "12R4?");
    EXPECT_EQ(s["digits"], "1224?");
    EXPECT_EQ(s["failed"], 1);
    EXPECT_EQ(s["tones"][0]["frequency"], 1124.0);
    EXPECT_EQ(s["tones"][2]["tone"], "R");
    tones.table = 0;
    EXPECT_EQ(Parse(tones, j)["protocol"], "zvei");
    EXPECT_FALSE(j.ToJson(PocsagCallBegin{}, ignored));
}

TEST(JsonEvents, AnyBytesGiveValidEscapedUtf8) {
    FixedClock clock(kNow, kNow);
    JsonEvents j(clock, 11025);
    PocsagCallEnd call;
    call.at.time = kNow;
    call.codewords = 9;
    std::string bytes = "a\tb\rc\nd\"e\\f<NUL>";
    bytes += std::string("\0\x01\x1F\x7F", 4);
    for (int b = 0x80; b <= 0xFF; ++b) bytes += static_cast<char>(b);
    call.alpha = bytes;
    std::string line;
    ASSERT_TRUE(j.ToJson(call, line));
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_EQ(line.find('\t'), std::string::npos);
    const json parsed = json::parse(line);  // throws on invalid JSON or UTF-8
    EXPECT_EQ(parsed["message"], Cp1252ToUtf8(bytes));
    EXPECT_EQ(parsed["time"], "2024-05-06T14:03:07.250+00:00");
}

// A recording with a POCSAG call, an FMS telegram with text and a ZVEI sequence,
// and where each of them ends.
struct Traffic {
    std::vector<double> samples;
    double pocsagEnd = 0, fmsEnd = 0, fmsTextEnd = 0, tonesEnd = 0;

    void Silence(double seconds) { samples.resize(samples.size() + static_cast<std::size_t>(seconds * 11025), 0.0); }
    double Now() const { return static_cast<double>(samples.size()) / 11025.0; }
    void Append(const std::vector<double>& s) { samples.insert(samples.end(), s.begin(), s.end()); }

    Traffic() {
        Silence(0.5);
        gen::PocsagSignal p;
        const std::vector<std::uint32_t> cws =
            gen::PocsagCodewords({{1234567, 3, gen::PocsagMessage::Kind::Alphanumeric, "Hello"}});
        // The address stands in frame 7 (the last codeword pair of batch 1),
        // its message runs on into batch 2, after its sync.
        const std::size_t lastMessageWord = 17 + 1;
        EXPECT_EQ(cws[15] >> 31, 0u);
        EXPECT_EQ(cws[lastMessageWord] >> 31, 1u);
        EXPECT_EQ(cws[lastMessageWord + 1], gen::kPocsagIdleCodeword);
        pocsagEnd = Now() + (p.preambleBits + 32.0 * (lastMessageWord + 1)) / p.bitRate;
        Append(gen::PocsagWaveform(p, cws));
        Silence(0.6);
        gen::FmsTransmission t;
        t.withText = true;
        t.textNumber = 5;
        t.text = "Lage klar";
        fmsEnd = Now() + (t.preambleBits + 8 + 48) / 1200.0;
        fmsTextEnd = fmsEnd + 3 * 48 / 1200.0;
        Append(gen::FmsWaveform(gen::FmsTransmissionBits(t), 10000.0, 11025));
        Silence(0.6);
        std::vector<double> f;
        EXPECT_TRUE(gen::ToneFrequencies(0, "12345", true, f));
        tonesEnd = Now() + 5 * 0.070;
        Append(gen::SynthesizeToneSequences({f}, gen::ToneTiming{}, 10000.0, 11025).samples);
        Silence(1.0);
    }
};

std::string TempPath(const char* name) { return std::string(::testing::TempDir()) + name; }

TEST(DecodeJson, OneObjectPerLineAtTheOffsetsOfTheCalls) {
    Traffic traffic;
    const std::string wav = TempPath("quorvel-events-traffic.wav");
    ASSERT_EQ(gen::WriteWav(wav, gen::Quantize(traffic.samples), gen::WavLayout{}), "");
    const auto r = RunCommand(std::string(QUORVEL_DECODE_PATH) + " --format json " + wav);
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    std::vector<json> objects;
    for (std::string line; std::getline(lines, line);) objects.push_back(json::parse(line));
    ASSERT_EQ(objects.size(), 5u) << r.out;
    const struct {
        const char* protocol;
        const char* event;
        double offset;
    } expected[] = {
        {"pocsag", "", traffic.pocsagEnd},   {"pocsag", "transmission_end", traffic.pocsagEnd},
        {"fms", "", traffic.fmsEnd},         {"fms", "fms_text", traffic.fmsTextEnd},
        {"zvei", "", traffic.tonesEnd},
    };
    for (std::size_t i = 0; i < objects.size(); ++i) {
        const json& o = objects[i];
        EXPECT_EQ(o["protocol"], expected[i].protocol) << o;
        EXPECT_EQ(o.value("event", ""), expected[i].event) << o;
        if (*expected[i].event == '\0') {
            EXPECT_NEAR(o["offset"].get<double>(), expected[i].offset, 0.1) << o;
        }
    }
    EXPECT_EQ(objects[0]["message"], "Hello");
    EXPECT_EQ(objects[2]["address"], "63123456");
    EXPECT_EQ(objects[3]["text"].get<std::string>().substr(0, 9), "Lage klar");
    EXPECT_EQ(objects[4]["digits"], "12345");
    std::remove(wav.c_str());
}

// quorvel-decode reading raw samples from a pipe that stays open.
TEST(DecodeJson, ACallAppearsBeforeThePipedInputEnds) {
    Traffic traffic;
    const std::vector<std::int16_t> pcm = gen::Quantize(traffic.samples);
    int in[2], out[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[1]);
        close(out[0]);
        execl(QUORVEL_DECODE_PATH, QUORVEL_DECODE_PATH, "--format", "json", "-t", "raw", "-r", "11025", "-", nullptr);
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    signal(SIGPIPE, SIG_IGN);
    const auto* bytes = reinterpret_cast<const char*>(pcm.data());
    const std::size_t size = pcm.size() * sizeof(std::int16_t);
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = write(in[1], bytes + done, size - done);
        ASSERT_GT(n, 0);
        done += static_cast<std::size_t>(n);
    }
    // The input stays open: the first line must come anyway.
    std::string got;
    pollfd p{out[0], POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (got.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        if (poll(&p, 1, 200) > 0) {
            char buffer[4096];
            const ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0) break;
            got.append(buffer, static_cast<std::size_t>(n));
        }
    }
    close(in[1]);
    char buffer[4096];
    while (read(out[0], buffer, sizeof buffer) > 0) {
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_NE(got.find('\n'), std::string::npos) << "no line while the input was open";
    EXPECT_EQ(json::parse(got.substr(0, got.find('\n')))["ric"], 1234567);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// A call whose last codeword ends at the last sample: finishing the input
// decodes it exactly as half a second of silence after it would.
TEST(FinishInput, ACallEndingAtTheLastSampleIsDecodedWhole) {
    for (const double rate : {512.0, 1200.0, 2400.0}) {
        gen::PocsagSignal p;
        p.bitRate = rate;
        const std::vector<double> wave = gen::PocsagWaveform(
            p, gen::PocsagCodewords({{1234560, 3, gen::PocsagMessage::Kind::Alphanumeric, "Call at the end"}}));
        std::vector<double> withSilence = wave;
        withSilence.resize(wave.size() + 11025 / 2, 0.0);

        FixedClock clock(kNow);
        auto decode = [&clock](const std::vector<double>& samples, bool finish) {
            StandardEngine e(clock);
            e.ctx.settings.PocsagEnabled.store(true);
            const std::vector<std::int16_t> pcm = gen::Quantize(samples);
            std::string text = DecodeSamples(e, pcm);
            std::string taken;
            if (finish) e.FinishInput([&] {
                    e.ctx.TakeText(taken);
                    text += taken;
                });
            return text;
        };
        const std::string cut = decode(wave, false);
        const std::string finished = decode(wave, true);
        const std::string padded = decode(withSilence, false);
        EXPECT_EQ(cut.find("Call at the end"), std::string::npos) << rate << ": the fault this mends";
        EXPECT_NE(finished.find("AlphaNum:\tCall at the end"), std::string::npos) << rate << finished;
        EXPECT_EQ(finished, padded) << rate;
    }
}

// A transmission cut off in its message: the call is emitted incomplete.
TEST(FinishInput, WhatIsStillOpenIsEmittedMarkedIncomplete) {
    gen::PocsagSignal p;
    std::vector<double> wave = gen::PocsagWaveform(
        p, gen::PocsagCodewords({{1234560, 3, gen::PocsagMessage::Kind::Alphanumeric, std::string(120, 'x')}}));
    wave.resize(static_cast<std::size_t>((p.preambleBits + 17 * 32 + 20 * 32) * 11025 / p.bitRate));
    FixedClock clock(kNow);
    Engine e(clock);
    e.ctx.settings.PocsagEnabled.store(true);
    JsonRenderer renderer(e.ctx);
    std::string text = DecodeSamples(e, gen::Quantize(wave));
    std::string taken;
    e.FinishInput([&] {
        e.ctx.TakeText(taken);
        text += taken;
    });
    std::istringstream lines(text);
    std::vector<json> objects;
    for (std::string line; std::getline(lines, line);) objects.push_back(json::parse(line));
    ASSERT_EQ(objects.size(), 2u) << text;
    EXPECT_EQ(objects[0]["incomplete"], true);
    EXPECT_EQ(objects[0]["message"].get<std::string>().substr(0, 10), "xxxxxxxxxx");
    EXPECT_EQ(objects[1]["event"], "transmission_end");
}

// A decoder known only to this test: reports a "tone sequence" whenever a block
// holds a sample above 20000.
class LoudBlockDecoder final : public BlockDecoder {
public:
    explicit LoudBlockDecoder(SharedContext& ctx) : ctx_(ctx) {}
    void ProcessBlock() override {
        for (std::int32_t i = 0; i < FramesPerBlock; ++i) {
            if (ctx_.SampleBlock[static_cast<std::size_t>(i)] > 20000.0) {
                ToneSequence s;
                s.at = ctx_.Origin(i);
                s.table = 0;
                s.entries = {0, 1, 2, 3, 4};
                ctx_.events.OnEvent(s);
                return;
            }
        }
    }
    bool Busy() const override { return false; }
    void FinishInput() override {}

private:
    SharedContext& ctx_;
};

TEST(Registry, ADecoderAddedByOneEntry) {
    std::vector<DecoderEntry> entries = StandardDecoders();
    entries.push_back({"loud", DecoderForm::Specified, nullptr,
                       [](SharedContext& ctx) -> std::unique_ptr<BlockDecoder> {
                           return std::make_unique<LoudBlockDecoder>(ctx);
                       }});
    FixedClock clock(kNow);
    StandardEngine e(clock, entries);
    e.ctx.settings.ZveiEnabled.store(true);
    std::vector<std::int16_t> pcm(3 * FramesPerBlock, 0);
    pcm[2 * FramesPerBlock + 100] = 30000;
    EXPECT_EQ(DecodeSamples(e, pcm), "14:03:07\tZVEI: 12345\r\n");
    const std::vector<std::string_view> kinds = DecoderKinds(entries);
    EXPECT_EQ(kinds, (std::vector<std::string_view>{"pocsag", "fms", "zvei", "loud"}));
}

TEST(Registry, OneFormOfAKindRuns) {
    struct Counting final : BlockDecoder {
        int* runs;
        explicit Counting(int* r) : runs(r) {}
        void ProcessBlock() override { ++*runs; }
        bool Busy() const override { return false; }
        void FinishInput() override {}
    };
    int plain = 0, sensitive = 0, other = 0;
    Counting a(&plain), b(&sensitive), c(&other);
    const DecoderEntry kinds[] = {{"x", DecoderForm::Specified, &DecoderSettings::PocsagEnabled, nullptr},
                                  {"x", DecoderForm::Sensitive, &DecoderSettings::PocsagEnabled, nullptr},
                                  {"y", DecoderForm::Specified, &DecoderSettings::FmsEnabled, nullptr}};
    DecoderSet slots({{&kinds[0], &a, true}, {&kinds[1], &b, true}, {&kinds[2], &c, false}});
    FixedClock clock;
    SharedContext ctx(clock);
    InputConditioner conditioner;
    struct {
        bool pocsag, fms, sensitive;
        int plain, sensitiveRuns, other;
    } const cases[] = {
        {true, true, false, 1, 0, 1},
        {true, true, true, 0, 1, 1},  // y has no sensitive form: its specified one runs
        {false, true, true, 0, 0, 1},
        {true, false, false, 1, 0, 0},
    };
    for (const auto& k : cases) {
        plain = sensitive = other = 0;
        ctx.settings.PocsagEnabled = k.pocsag;
        ctx.settings.FmsEnabled = k.fms;
        ctx.settings.Sensitive = k.sensitive;
        SampleQueue q;
        q.Append(std::vector<std::int16_t>(FramesPerBlock, 0));
        ProcessPendingBlocks(ctx, conditioner, q, slots);
        EXPECT_EQ(plain, k.plain);
        EXPECT_EQ(sensitive, k.sensitiveRuns);
        EXPECT_EQ(other, k.other);
    }
}

}  // namespace
}  // namespace quorvel
