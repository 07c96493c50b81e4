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

#include "config_option.h"
#include "decode_live.h"
#include "core/engine.h"
#include "file_decoding.h"
#include "input_clock.h"
#include "render/json_renderer.h"
#include "render/log_renderer.h"
#include "render/text_renderer.h"
#include "start_time.h"
#include "station/station.h"
#include "stop_request.h"
#include "text_output.h"
#include "version.h"

namespace {

using namespace quorvel;
using namespace quorvel::tools;

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
    bool specified = false;  // the specified decoders instead of the sensitive ones
    bool sensitive = false;  // the default; accepted for command lines that name it
    bool stats = false;
    std::string logDir;  // POCSAG message and stream logs, when given
    bool logDirGiven = false;
    bool rawFormatGiven = false;  // -r or -c given
    std::string clock = "wall";   // or "input": time stamps from the position in the input
    std::string startTime;        // what position 0 of the input stands for
    bool listDevices = false;
    bool failAtEnd = false;  // the input is a stream that should never end
    std::string device;  // live input from this capture device, when given
    std::string charset;  // POCSAG text of JSON; empty: the decoders' German one
};

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

int CharacteristicIndex(const std::string& name) {
    const std::string n = Lower(name);
    if (n == "0" || n == "discriminator") return 0;
    if (n == "1" || n == "line") return 1;
    return -1;
}

// An engine set up as the options say, for one input.
std::unique_ptr<Engine> MakeEngine(const Options& o, const Clock& clock, int table, int characteristic) {
    auto engine = std::make_unique<Engine>(clock);
    auto& settings = engine->ctx.settings;
    settings.SelectToneTable(table);
    settings.PocsagCharacteristic.store(characteristic);
    settings.Sensitive.store(!o.specified);
    engine->pocsag.PocsagSetCharacteristic();
    const auto& entries = StandardDecoders();
    for (const DecoderEntry& e : entries) {
        // By default every kind; under --specified only those the window has
        // (output byte for byte as it was), unless named.
        const bool windowKind = std::any_of(entries.begin(), entries.end(), [&e](const DecoderEntry& other) {
            return other.kind == e.kind && other.form == DecoderForm::Specified;
        });
        const bool on = o.decoders.empty() ? (!o.specified || windowKind)
                                           : std::find(o.decoders.begin(), o.decoders.end(), std::string(e.kind)) !=
                                                 o.decoders.end();
        if (on && e.enabled != nullptr) (settings.*(e.enabled)).store(true);
    }
    return engine;
}

// The options that tell where the one given on the command line (rather than
// defaulted) matters.
struct OptionsGiven {
    CLI::Option* rate = nullptr;
    CLI::Option* rawChannels = nullptr;
    CLI::Option* logDir = nullptr;
};

void AddDecodeOptions(CLI::App& app, Options& o, OptionsGiven& given) {
    app.set_version_flag("--version", std::string("quorvel-decode ") + QUORVEL_VERSION);
    app.add_option("input", o.inputs, "sound files (WAV, FLAC, OGG...) or raw samples; - for standard input");
    app.add_option("-t,--type", o.type, "input type: auto (a sound file) or raw (signed 16-bit little-endian)")
        ->check(CLI::IsMember({"auto", "raw"}));
    given.rate = app.add_option("-r,--rate", o.rawRate, "sample rate of raw input in Hz")->check(CLI::Range(1.0, 1000000.0));
    given.rawChannels = app.add_option("-c,--channels", o.rawChannels, "channels of raw input")->check(CLI::Range(1, 64));
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
    app.add_option("--table", o.table, "tone table: " + zvei::TableChoices() + " (or 0-3)");
    app.add_option("--characteristic", o.characteristic, "the receiver's tap for POCSAG and FLEX: discriminator or line (filtered line output)");
    app.add_option("--format", o.format, "output: text (the decoded lines) or json (one JSON object per call and line)")
        ->check(CLI::IsMember({"text", "json"}));
    app.add_flag("--specified", o.specified,
                 "use the decoders of the window (its boxes unticked: 6-10 dB deafer, output byte for byte as the window's) "
                 "instead of the sensitive ones");
    app.add_flag("--sensitive", o.sensitive, "use the sensitive form of every decoder that has one (matched filters, clock recovery, "
                                "error correction); the default")
        ->excludes("--specified");
    app.add_option("--charset", o.charset,
                   "POCSAG text in JSON and the station's output (hooks, MQTT, --db): US, DE, FR, SE, DK or SI "
                   "(default: the German letters of the decoded text, @ kept)");
    app.add_flag("--raw-text", o.rawText, "write the decoders' Windows-1252 bytes with CR LF instead of UTF-8 with LF");
    app.add_option("--clock", o.clock,
                   "time stamps of files: wall (the time of decoding) or input (the position in the input, from "
                   "--start-time)")
        ->check(CLI::IsMember({"wall", "input"}));
    app.add_option("--start-time", o.startTime,
                   "with --clock input: date and time of the input's start, e.g. 2024-05-06T14:00:00[+02:00] "
                   "(default 00:00:00)");
    app.add_flag("--stats", o.stats, "print the final level statistics, the number of blocks and the decoders' own counts (standard error)");
    given.logDir = app.add_option("--log-dir", o.logDir,
                                  "write the POCSAG message log and stream log into this folder (created if missing)");
    app.add_flag("--fail-at-end", o.failAtEnd,
                 "the input is a live stream that should never end (a receiver on a pipe): its end is a failure "
                 "(status 1), so that a service manager restarts the pipeline. SIGINT or SIGTERM still end with 0 "
                 "when nothing was lost");
    app.add_flag("--list-devices", o.listDevices, "list the sound-card capture devices and end");
    app.add_option("--device", o.device,
                   "decode live input from a capture device (its number, name or a unique part of its description; "
                   "see --list-devices) until interrupted");
}

// What the options say, checked.
struct Checked {
    int table = 0;
    int characteristic = 0;
    std::optional<Charset> charset;
    bool live = false;
    DateTime start{1970, 1, 1, 0, 0, 0, 0};  // what position 0 of a file stands for
    std::int64_t startOffsetMinutes = 0;
};

// The decoders' choices; 0, or the exit status of wrong usage after saying why.
int CheckDecoding(const Options& o, Checked& c) {
    c.table = zvei::TableByName(o.table);
    c.characteristic = CharacteristicIndex(o.characteristic);
    if (c.table < 0) {
        std::cerr << "quorvel-decode: unknown tone table '" << o.table << "'; the tables are " << zvei::TableChoices()
                  << " (or 0-" << zvei::TableCount - 1 << ")\n";
        return kExitUsage;
    }
    if (c.characteristic < 0) {
        std::cerr << "quorvel-decode: unknown characteristic '" << o.characteristic << "'\n";
        return kExitUsage;
    }
    if (!o.charset.empty()) {
        Charset cs{};
        if (!ParseCharset(o.charset, cs)) {
            std::cerr << "quorvel-decode: unknown character set '" << o.charset << "'; known: US, DE, FR, SE, DK, SI\n";
            return kExitUsage;
        }
        c.charset = cs;
    }
    return 0;
}

// The inputs and their time stamps; 0, or the exit status after saying why.
int CheckInputs(const Options& o, Checked& c) {
    c.live = !o.device.empty();
    if (o.inputs.empty() && !c.live) {
        std::cerr << "quorvel-decode: no input given (a file, or - for standard input); see --help\n";
        return kExitUsage;
    }
    if (c.live && !o.inputs.empty()) {
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
    if (o.clock == "input") {
        if (c.live) {
            std::cerr << "quorvel-decode: --clock input is for files; live input is stamped with the wall clock\n";
            return kExitUsage;
        }
        if (!o.startTime.empty() && !ParseStartTime(o.startTime, c.start, c.startOffsetMinutes)) {
            std::cerr << "quorvel-decode: --start-time '" << o.startTime
                      << "' is not a date and time like 2024-05-06T14:00:00 or 2024-05-06T14:00:00+02:00 (a day "
                         "that exists, an offset from -12:00 to +14:00, nothing after it)\n";
            return kExitUsage;
        }
    } else if (!o.startTime.empty()) {
        std::cerr << "quorvel-decode: --start-time needs --clock input\n";
        return kExitUsage;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    // A file-size limit reached is a write that fails (and is reported), not the
    // end of the program.
    std::signal(SIGXFSZ, SIG_IGN);
    // Before any thread starts: SIGINT and SIGTERM end a run in order.
    InstallStopHandlers();
    Options o;
    CLI::App app(
        "quorvel-decode: decodes POCSAG, FMS, ZVEI/CCIR five-tone, DTMF and FLEX signalling from sound files, raw "
        "samples or a live input, with the sensitive decoders unless --specified is given.\n"
        "Input is converted to 11025 Hz and cut into blocks of 1024 samples; a last partial block is padded with "
        "silence, and a raw frame cut short at the end is dropped. Several files are decoded one after the other, each "
        "from a fresh start. Decoded lines go to standard output, messages and --stats to standard error. SIGINT or "
        "SIGTERM end a run in order (what was read is decoded, what is queued delivered; a second signal ends it at "
        "once). Exit status: 0, 1 for an input or output that failed or a call the station lost, 2 for wrong usage.",
        "quorvel-decode");
    OptionsGiven given;
    AddDecodeOptions(app, o, given);
    station::StationOptions stationOptions;
    station::AddOptions(app, stationOptions);
    AddConfigOption(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return ReportParseError(app, e, "quorvel-decode", argc, argv);
    }
    o.rawFormatGiven = given.rate->count() > 0 || given.rawChannels->count() > 0;
    o.logDirGiven = given.logDir->count() > 0;
    Checked checked;
    if (const int status = CheckDecoding(o, checked); status != 0) return status;
    if (o.listDevices) return ListLiveDevices();
    if (const int status = CheckInputs(o, checked); status != 0) return status;
    const int table = checked.table;
    const int characteristic = checked.characteristic;
    const bool live = checked.live;
    const std::optional<Charset> charset = checked.charset;
    const DateTime start = checked.start;
    const std::int64_t startOffsetMinutes = checked.startOffsetMinutes;

    const FileInputOptions fileOptions{o.type == "raw", o.rawRate, o.rawChannels, o.channel,
                                       o.rawFormatGiven, o.stats,   &StopRequest()};
    SystemClock wallClock;
    // Time stamps of an input: the wall clock or the position in the input.
    InputClock inputClock(start, startOffsetMinutes);
    const Clock& clock = o.clock == "input" ? static_cast<const Clock&>(inputClock) : wallClock;
    const bool json = o.format == "json";
    // The sensitive decoders know a numeric message from an alpha one: one
    // rendering of each call. The specified ones show both, as the window does.
    const TextOptions textOptions{.oneRendering = !o.specified, .charset = charset};
    // The alerting station (names, filters, dedup, hooks, MQTT), when asked for:
    // it stands in for the renderer of every input's engine.
    std::vector<std::string> stationErrors;
    // Text through the station is written in UTF-8 by it (names as they are).
    const bool utf8Text = !o.rawText && !json;
    const std::unique_ptr<station::Station> alerting =
        station::Create(stationOptions, clock, json, stationErrors, textOptions, utf8Text);
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
    // JSON Lines are UTF-8 with LF already, and so is the station's text.
    Output out("quorvel-decode", o.rawText || json || alerting != nullptr);
    LogWatch logWatch("quorvel-decode", logs.get());

    // Each input from a fresh engine: the decoders' state never carries over.
    auto run = [&](const std::string& input) {
        std::unique_ptr<Engine> engine = MakeEngine(o, clock, table, characteristic);
        inputClock.Follow(engine->ctx);
        // The sinks of this input: the station when asked for (it writes what
        // passes), else the text or the JSON; the POCSAG logs beside them.
        std::unique_ptr<TextRenderer> textRenderer;
        std::unique_ptr<JsonRenderer> jsonRenderer;
        if (alerting) alerting->Follow(engine.get());
        else if (json) jsonRenderer = std::make_unique<JsonRenderer>(engine->ctx, textOptions);
        else textRenderer = std::make_unique<TextRenderer>(engine->ctx, textOptions);
        std::unique_ptr<LogRenderer> logRenderer;
        if (logs) logRenderer = std::make_unique<LogRenderer>(engine->ctx, *logs);
        if (alerting) alerting->SetSource(live ? o.device : input == "-" ? "stdin" : input);
        const int s = live ? DecodeLive(*engine, o.device, [&](const std::string& t) { out.Write(t); }, o.stats)
                           : DecodeFile("quorvel-decode", fileOptions, input, *engine, out, logWatch);
        if (alerting) alerting->Follow(nullptr);
        return s;
    };
    int status = 0;
    if (live) {
        status = run("");
    } else {
        for (const std::string& input : o.inputs) {
            const int s = run(input);
            if (s != 0 && status == 0) status = s;
            if (out.Failed() || StopRequested()) break;
        }
        if (StopRequested()) {
            std::cerr << "quorvel-decode: stopped by a signal: what was read is decoded; delivering what is queued\n";
        } else if (o.failAtEnd && !out.Failed()) {
            std::cerr << "quorvel-decode: the input ended (--fail-at-end: a live stream must not end)\n";
            if (status == 0) status = kExitInput;
        }
    }
    if (alerting && alerting->Finish(o.stats, stderr) > 0 && status == 0) status = kExitInput;
    if (logs) {
        logWatch.Check();
        logs->MessageLog(laClose);
        logs->StreamLog(laClose);
        if (logWatch.Failed() > 0 && status == 0) status = kExitInput;
    }
    return status;
}
