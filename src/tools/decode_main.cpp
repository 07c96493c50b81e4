// quorvel-decode: the processing loop without a window. Reads a sound file or raw
// samples (a file or standard input), converts them to 11025 Hz, cuts them into
// blocks of 1024 and runs the same ProcessPendingBlocks as the capture thread,
// printing every decoded line on standard output.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstring>
#include <ctime>
#include <cstdio>
#include <iostream>
#include <filesystem>
#include <memory>

#include "audio_reader.h"
#include "decode_live.h"
#include "core/engine.h"
#include "core/sample_source.h"
#include "render/json_renderer.h"
#include "station/station.h"
#include "version.h"

namespace {

using namespace quorvel;
using namespace quorvel::tools;

constexpr int kExitInput = 1;
constexpr int kExitUsage = 2;

struct Options {
    std::vector<std::string> inputs;
    std::string type = "auto";
    double rawRate = 0.0;
    int rawChannels = 1;
    int channel = 0;  // 1-based; 0: the second of a stereo input, else the first
    std::vector<std::string> decoders;  // empty: every kind of the registry
    std::string table = "zvei-normal";
    std::string characteristic = "discriminator";
    std::string format = "text";
    bool rawText = false;
    bool sensitive = false;
    bool stats = false;
    std::string logDir;  // POCSAG message and stream logs, when given
    bool logDirGiven = false;
    bool rawFormatGiven = false;  // -r or -c given
    std::string clock = "wall";   // or "input": time stamps from the position in the input
    std::string startTime;        // what position 0 of the input stands for
    bool listDevices = false;
    std::string device;  // live input from this capture device, when given
};

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// Tone tables by name (as the window lists them, or in a shell-friendly spelling)
// or by index 0..3.
int ToneTableIndex(const std::string& name) {
    const std::string n = Lower(name);
    if (n == "0" || n == "zvei-normal" || n == "zvei normal" || n == "zvei") return 0;
    if (n == "1" || n == "zvei-wide" || n == "zvei wide") return 1;
    if (n == "2" || n == "zvei-narrow" || n == "zvei narrow") return 2;
    if (n == "3" || n == "ccir") return 3;
    return -1;
}

int CharacteristicIndex(const std::string& name) {
    const std::string n = Lower(name);
    if (n == "0" || n == "discriminator") return 0;
    if (n == "1" || n == "line") return 1;
    return -1;
}

// Standard output. Every write is checked: output that cannot be written (a full
// disk, a closed reader) is reported once and ends the run with status 1, rather
// than decoding on into nothing.
class Output {
public:
    explicit Output(bool rawText) : rawText_(rawText) {}

    // What a take step hands over, written as the user asked: UTF-8 with LF line
    // ends, or the decoders' own Windows-1252 bytes with CR LF (and JSON Lines as
    // they are). False once output has failed.
    bool Write(const std::string& text) {
        if (failed_) return false;
        if (text.empty()) return true;
        const std::string* bytes = &text;
        if (!rawText_) {
            converted_.clear();
            for (std::size_t i = 0; i < text.size(); ++i) {
                if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
                converted_.push_back(text[i]);
            }
            converted_ = Cp1252ToUtf8(converted_);
            bytes = &converted_;
        }
        errno = 0;
        if (std::fwrite(bytes->data(), 1, bytes->size(), stdout) != bytes->size() || std::fflush(stdout) != 0) {
            const int error = errno != 0 ? errno : EIO;
            std::cerr << "quorvel-decode: cannot write to standard output: " << std::strerror(error) << "\n";
            failed_ = true;
            return false;
        }
        return true;
    }
    bool Failed() const { return failed_; }

private:
    bool rawText_;
    bool failed_ = false;
    std::string converted_;
};

// Reports each log line that could not be written when it happens, naming the
// file (a full disk shows at once, not at the end of a day-long run).
class LogWatch {
public:
    explicit LogWatch(const LogFiles* logs) : logs_(logs) {}
    void Check() {
        if (logs_ == nullptr) return;
        const std::int64_t failed = logs_->FailedLines();
        if (failed == reported_) return;
        std::cerr << "quorvel-decode: " << (failed - reported_) << " log line(s) not written: " << logs_->LastError()
                  << "\n";
        reported_ = failed;
    }
    std::int64_t Failed() const { return reported_; }

private:
    const LogFiles* logs_;
    std::int64_t reported_ = 0;
};

// Time stamps from the position in the input (--clock input): the time given as
// the input's start plus the start of the block being decoded.
class InputClock final : public Clock {
public:
    InputClock(DateTime start, std::int64_t utcOffsetMinutes)
        : startMs_(CivilMilliseconds(start)), offsetMs_(utcOffsetMinutes * 60000) {}
    void Follow(const SharedContext& ctx) { ctx_ = &ctx; }
    DateTime LocalNow() const override { return CivilFromMilliseconds(startMs_ + Elapsed()); }
    DateTime UtcNow() const override { return CivilFromMilliseconds(startMs_ + Elapsed() - offsetMs_); }

private:
    std::int64_t Elapsed() const { return ctx_ == nullptr ? 0 : ctx_->BlockStart * 1000 / ctx_->SampleRate; }
    std::int64_t startMs_;
    std::int64_t offsetMs_;
    const SharedContext* ctx_ = nullptr;
};

// "2024-05-06T14:00:00", with optional ".mmm" and "Z" or "+hh:mm"; a space may
// stand for the T. Without a zone the system's local time zone is taken.
bool ParseStartTime(const std::string& text, DateTime& t, std::int64_t& offsetMinutes) {
    int n = 0;
    char sep = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%n", &t.year, &t.month, &t.day, &sep, &t.hour, &t.minute,
                    &t.second, &n) != 7 ||
        (sep != 'T' && sep != ' '))
        return false;
    std::string rest = text.substr(static_cast<std::size_t>(n));
    if (!rest.empty() && rest[0] == '.') {
        std::size_t k = 1;
        int ms = 0, digits = 0;
        while (k < rest.size() && std::isdigit(static_cast<unsigned char>(rest[k]))) {
            if (digits < 3) ms = ms * 10 + (rest[k] - '0'), ++digits;
            ++k;
        }
        while (digits++ < 3) ms *= 10;
        t.millisecond = ms;
        rest = rest.substr(k);
    }
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour > 23 || t.minute > 59 || t.second > 60)
        return false;
    if (rest == "Z") {
        offsetMinutes = 0;
    } else if (!rest.empty()) {
        int h = 0, m = 0;
        char sign = 0;
        if (std::sscanf(rest.c_str(), "%c%2d:%2d", &sign, &h, &m) < 2 || (sign != '+' && sign != '-')) return false;
        offsetMinutes = (sign == '-' ? -1 : 1) * (h * 60 + m);
    } else {
        std::tm tm = CalendarFields(t);
        const std::time_t when = std::mktime(&tm);
        std::tm utc{};
        gmtime_r(&when, &utc);
        const DateTime u{utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, 0};
        DateTime l = t;
        l.millisecond = 0;
        offsetMinutes = (CivilMilliseconds(l) - CivilMilliseconds(u)) / 60000;
    }
    return true;
}

class Decoder {
public:
    Decoder(Engine& engine, Output& out, LogWatch& logWatch) : engine_(engine), out_(out), logWatch_(logWatch) {}

    // Queue converted samples, process every whole block, show what was decoded.
    // False once output has failed.
    bool Feed(const std::vector<double>& samples) {
        queue_.Append(std::span<const double>(samples));
        return Run();
    }
    bool Finish() {
        queue_.PadLastBlock();
        return Run();
    }
    // After the input: the silence that lets the decoders finish what is under
    // way, then whatever is still incomplete.
    void Drain() {
        engine_.FinishInput([this] { Take(); });
    }
    long Blocks() const { return blocks_; }

private:
    bool Run() {
        while (queue_.PendingBlocks() > 0 && !out_.Failed()) {
            // One block at a time, with a take step after each, as the window's
            // timer would see it when it keeps up.
            OneBlockOf one(queue_);
            engine_.ProcessPendingBlocks(one);
            ++blocks_;
            Take();
        }
        return !out_.Failed();
    }
    void Take() {
        engine_.ctx.TakeText(text_);
        out_.Write(text_);
        logWatch_.Check();
    }

    Engine& engine_;
    Output& out_;
    LogWatch& logWatch_;
    SampleQueue queue_;
    std::string text_;
    long blocks_ = 0;
};

// Sound-card values: round to whole 16-bit values (halves to even) and clip.
void ToSampleValues(std::vector<double>& samples) {
    for (double& x : samples) {
        x = RoundHalfEvenValue(x);
        x = std::clamp(x, -32768.0, 32767.0);
    }
}

int DecodeFile(const Options& o, const std::string& input, Engine& engine, Output& out, LogWatch& logWatch) {
    std::string error;
    std::unique_ptr<AudioReader> reader;
    if (o.type == "raw") {
        reader = OpenRawFile(input, o.rawRate, o.rawChannels, error);
    } else {
        reader = OpenSoundFile(input, error);
    }
    if (!reader) {
        std::cerr << "quorvel-decode: " << error << "\n";
        if (o.type != "raw" && o.rawFormatGiven)
            std::cerr << "quorvel-decode: -r and -c describe raw samples: add -t raw to read " << input << " as such\n";
        return kExitInput;
    }
    const int channels = reader->Channels();
    const int channel = o.channel > 0 ? o.channel : (channels >= 2 ? 2 : 1);
    if (channel > channels) {
        std::cerr << "quorvel-decode: channel " << channel << " asked for, but " << input << " has " << channels
                  << " channel(s)\n";
        return kExitUsage;
    }
    // sndfile reads integer PCM as values in [-1, 1); raw input is in 16-bit units.
    const double scale = o.type == "raw" ? 1.0 : 32768.0;
    RateConverter converter(reader->SampleRate(), DefaultSampleRate);
    if (!converter.Ok()) {
        std::cerr << "quorvel-decode: " << converter.Error() << "\n";
        return kExitInput;
    }
    Decoder decoder(engine, out, logWatch);
    constexpr long kChunkFrames = 4096;
    std::vector<double> frames(static_cast<std::size_t>(kChunkFrames * channels));
    std::vector<double> mono;
    std::vector<double> converted;
    int status = 0;
    for (;;) {
        const long n = reader->Read(frames.data(), kChunkFrames);
        for (const std::string& w : reader->TakeWarnings()) std::cerr << "quorvel-decode: warning: " << w << "\n";
        if (n < 0) {
            std::cerr << "quorvel-decode: read error in " << input << ": " << reader->Error() << "\n";
            status = kExitInput;
        }
        const bool last = n <= 0;
        mono.resize(static_cast<std::size_t>(std::max(n, 0L)));
        for (std::size_t i = 0; i < mono.size(); ++i)
            mono[i] = frames[i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(channel - 1)] * scale;
        converted.clear();
        converter.Process(mono, last, converted);
        ToSampleValues(converted);
        if (!decoder.Feed(converted)) return kExitInput;
        if (last) break;
    }
    if (!decoder.Finish()) return kExitInput;
    // The statistics are those of the input, before the closing silence.
    const auto& s = engine.ctx.stats;
    const double levels[] = {s.DcOffset.load(), s.AcLevel.load(), s.DcMagnitude.load(), s.ClipHold.load()};
    decoder.Drain();
    if (o.stats) {
        std::fprintf(stderr, "blocks: %ld\nDcOffset: %.3f\nAcLevel: %.3f\nDcMagnitude: %.3f\nClipHold: %.5f\n",
                     decoder.Blocks(), levels[0], levels[1], levels[2], levels[3]);
    }
    return out.Failed() ? kExitInput : status;
}

// An engine set up as the options say, for one input.
std::unique_ptr<Engine> MakeEngine(const Options& o, const Clock& clock, int table, int characteristic) {
    auto engine = std::make_unique<Engine>(clock);
    auto& settings = engine->ctx.settings;
    settings.SelectToneTable(table);
    settings.PocsagCharacteristic.store(characteristic);
    settings.Sensitive.store(o.sensitive);
    engine->pocsag.PocsagSetCharacteristic();
    for (const DecoderEntry& e : StandardDecoders()) {
        const bool on = o.decoders.empty() ||
                        std::find(o.decoders.begin(), o.decoders.end(), std::string(e.kind)) != o.decoders.end();
        if (on && e.enabled != nullptr) (settings.*(e.enabled)).store(true);
    }
    return engine;
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    // A file-size limit reached is a write that fails (and is reported), not the
    // end of the program.
    std::signal(SIGXFSZ, SIG_IGN);
    Options o;
    CLI::App app(
        "quorvel-decode: decodes POCSAG, FMS and ZVEI/CCIR five-tone signalling from sound files, raw samples or a "
        "live input.\n"
        "Input is converted to 11025 Hz and cut into blocks of 1024 samples; a last partial block is padded with "
        "silence, and a raw frame cut short at the end is dropped. Several files are decoded one after the other, each "
        "from a fresh start. Decoded lines go to standard output, messages and --stats to standard error.",
        "quorvel-decode");
    app.set_version_flag("--version", std::string("quorvel-decode ") + QUORVEL_VERSION);
    app.add_option("input", o.inputs, "sound files (WAV, FLAC, OGG...) or raw samples; - for standard input");
    app.add_option("-t,--type", o.type, "input type: auto (a sound file) or raw (signed 16-bit little-endian)")
        ->check(CLI::IsMember({"auto", "raw"}));
    auto* rate = app.add_option("-r,--rate", o.rawRate, "sample rate of raw input in Hz")->check(CLI::Range(1.0, 1000000.0));
    auto* rawChannels = app.add_option("-c,--channels", o.rawChannels, "channels of raw input")->check(CLI::Range(1, 64));
    app.add_option("--channel", o.channel, "channel to decode (1-based; default: the second of a stereo input)")
        ->check(CLI::Range(1, 64));
    std::vector<std::string> kinds;
    for (std::string_view k : DecoderKinds(StandardDecoders())) kinds.emplace_back(k);
    std::string kindList;
    for (const std::string& k : kinds) kindList += (kindList.empty() ? "" : ",") + k;
    kinds.emplace_back("none");
    app.add_option("-d,--decoders", o.decoders, "decoders to run, comma separated (default: " + kindList + ")")
        ->delimiter(',')
        ->allow_extra_args(false)
        ->check(CLI::IsMember(kinds));
    app.add_option("--table", o.table, "tone table: zvei-normal, zvei-wide, zvei-narrow or ccir (or 0..3)");
    app.add_option("--characteristic", o.characteristic, "POCSAG input: discriminator or line (filtered line output)");
    app.add_option("--format", o.format, "output: text (the decoded lines) or json (one JSON object per call and line)")
        ->check(CLI::IsMember({"text", "json"}));
    app.add_flag("--sensitive", o.sensitive, "use the sensitive form of every decoder that has one (matched filters, clock recovery, error correction)");
    app.add_flag("--raw-text", o.rawText, "write the decoders' Windows-1252 bytes with CR LF instead of UTF-8 with LF");
    app.add_option("--clock", o.clock,
                   "time stamps of files: wall (the time of decoding) or input (the position in the input, from "
                   "--start-time)")
        ->check(CLI::IsMember({"wall", "input"}));
    app.add_option("--start-time", o.startTime,
                   "with --clock input: date and time of the input's start, e.g. 2024-05-06T14:00:00[+02:00] "
                   "(default 00:00:00)");
    app.add_flag("--stats", o.stats, "print the final level statistics and the number of blocks (standard error)");
    auto* logDir = app.add_option("--log-dir", o.logDir,
                                  "write the POCSAG message log and stream log into this folder (created if missing)");
    app.add_flag("--list-devices", o.listDevices, "list the sound-card capture devices and end");
    app.add_option("--device", o.device,
                   "decode live input from a capture device (its number, name or a unique part of its description; "
                   "see --list-devices) until interrupted");
    station::StationOptions stationOptions;
    station::AddOptions(app, stationOptions);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        std::cerr << "quorvel-decode: " << e.what() << "\n";
        return kExitUsage;
    }
    o.rawFormatGiven = rate->count() > 0 || rawChannels->count() > 0;
    o.logDirGiven = logDir->count() > 0;
    const int table = ToneTableIndex(o.table);
    const int characteristic = CharacteristicIndex(o.characteristic);
    if (table < 0) {
        std::cerr << "quorvel-decode: unknown tone table '" << o.table << "'\n";
        return kExitUsage;
    }
    if (characteristic < 0) {
        std::cerr << "quorvel-decode: unknown POCSAG characteristic '" << o.characteristic << "'\n";
        return kExitUsage;
    }
    if (o.listDevices) return ListLiveDevices();
    const bool live = !o.device.empty();
    if (o.inputs.empty() && !live) {
        std::cerr << "quorvel-decode: no input given (a file, or - for standard input); see --help\n";
        return kExitUsage;
    }
    if (live && !o.inputs.empty()) {
        std::cerr << "quorvel-decode: either input files or --device, not both\n";
        return kExitUsage;
    }
    if (o.type == "raw" && o.rawRate <= 0.0) {
        std::cerr << "quorvel-decode: raw input needs its sample rate (-r RATE)\n";
        return kExitUsage;
    }
    if (o.logDirGiven && o.logDir.empty()) {
        std::cerr << "quorvel-decode: --log-dir needs a folder (use . for the current one)\n";
        return kExitUsage;
    }
    DateTime start{1970, 1, 1, 0, 0, 0, 0};
    std::int64_t startOffsetMinutes = 0;
    if (o.clock == "input") {
        if (live) {
            std::cerr << "quorvel-decode: --clock input is for files; live input is stamped with the wall clock\n";
            return kExitUsage;
        }
        if (!o.startTime.empty() && !ParseStartTime(o.startTime, start, startOffsetMinutes)) {
            std::cerr << "quorvel-decode: --start-time '" << o.startTime
                      << "' is not a date and time like 2024-05-06T14:00:00 or 2024-05-06T14:00:00+02:00\n";
            return kExitUsage;
        }
    } else if (!o.startTime.empty()) {
        std::cerr << "quorvel-decode: --start-time needs --clock input\n";
        return kExitUsage;
    }

    SystemClock wallClock;
    // Time stamps of an input: the wall clock or the position in the input.
    InputClock inputClock(start, startOffsetMinutes);
    const Clock& clock = o.clock == "input" ? static_cast<const Clock&>(inputClock) : wallClock;
    const bool json = o.format == "json";
    // The alerting station (names, filters, dedup, hooks, MQTT), when asked for:
    // it stands in for the renderer of every input's engine.
    std::vector<std::string> stationErrors;
    const std::unique_ptr<station::Station> alerting = station::Create(stationOptions, clock, json, stationErrors);
    for (const std::string& e : stationErrors) std::cerr << "quorvel-decode: " << e << "\n";
    if (!stationErrors.empty()) return kExitUsage;
    if (std::string error; alerting && !alerting->OpenStore(error)) {
        std::cerr << "quorvel-decode: --db " << error << "\n";
        return kExitInput;
    }
    // One pair of logs for the whole run, whatever the number of inputs.
    std::unique_ptr<LogFiles> logs;
    if (!o.logDir.empty()) {
        std::error_code ignored;
        std::filesystem::create_directory(o.logDir, ignored);  // one level; opening tells if it is unusable
        logs = std::make_unique<LogFiles>(wallClock);
        logs->SetFolder(o.logDir);
        if (!logs->MessageLog(laOpen) || !logs->StreamLog(laOpen)) {
            std::cerr << "quorvel-decode: cannot open the POCSAG logs: " << logs->LastError() << "\n";
            logs->MessageLog(laClose);
            return kExitInput;
        }
    }
    Output out(o.rawText || json);  // JSON Lines are UTF-8 with LF already
    LogWatch logWatch(logs.get());

    // Each input from a fresh engine: the decoders' state never carries over.
    auto run = [&](const std::string& input) {
        std::unique_ptr<Engine> engine = MakeEngine(o, clock, table, characteristic);
        inputClock.Follow(engine->ctx);
        std::unique_ptr<JsonRenderer> jsonRenderer;
        if (json) {
            engine->ctx.events.Unsubscribe(engine->text);
            jsonRenderer = std::make_unique<JsonRenderer>(engine->ctx);
        }
        std::unique_ptr<LogRenderer> logRenderer;
        if (logs) {
            engine->ctx.events.Unsubscribe(engine->logRenderer);
            logRenderer = std::make_unique<LogRenderer>(engine->ctx, *logs);
        }
        if (alerting) alerting->Follow(engine.get(), jsonRenderer.get());
        if (alerting) alerting->SetSource(live ? o.device : input == "-" ? "stdin" : input);
        const int s = live ? DecodeLive(*engine, o.device, [&](const std::string& t) { out.Write(t); }, o.stats)
                           : DecodeFile(o, input, *engine, out, logWatch);
        if (alerting) alerting->Follow(nullptr, nullptr);
        return s;
    };
    int status = 0;
    if (live) {
        status = run("");
    } else {
        for (const std::string& input : o.inputs) {
            const int s = run(input);
            if (s != 0 && status == 0) status = s;
            if (out.Failed()) break;
        }
    }
    if (alerting) alerting->Finish(o.stats, stderr);
    if (alerting && alerting->Counts().lost > 0 && status == 0) status = kExitInput;  // calls missing from --db
    if (logs) {
        logWatch.Check();
        logs->MessageLog(laClose);
        logs->StreamLog(laClose);
        if (logWatch.Failed() > 0 && status == 0) status = kExitInput;
    }
    return status;
}
