// quorvel-decode: the processing loop without a window. Reads a sound file or raw
// samples (a file or standard input), converts them to 11025 Hz, cuts them into
// blocks of 1024 and runs the same ProcessPendingBlocks as the capture thread,
// printing every decoded line on standard output.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <clocale>
#include <cstdio>
#include <iostream>
#include <filesystem>
#include <memory>

#include "audio_reader.h"
#include "decode_live.h"
#include "core/engine.h"
#include "core/sample_source.h"
#include "version.h"

namespace {

using namespace quorvel;
using namespace quorvel::tools;

constexpr int kExitInput = 1;
constexpr int kExitUsage = 2;

struct Options {
    std::string input;
    std::string type = "auto";
    double rawRate = 0.0;
    int rawChannels = 1;
    int channel = 0;  // 1-based; 0: the second of a stereo input, else the first
    std::vector<std::string> decoders{"pocsag", "fms", "zvei"};
    std::string table = "zvei-normal";
    std::string characteristic = "discriminator";
    bool rawText = false;
    bool stats = false;
    std::string logDir;  // POCSAG message and stream logs, when given
    bool listDevices = false;
    int device = -1;  // live input from this capture device, when given
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

// What a take step hands over, written as the user asked: UTF-8 with LF line
// ends, or the decoders' own Windows-1252 bytes with CR LF.
void WriteText(const std::string& text, bool rawText) {
    if (text.empty()) return;
    if (rawText) {
        std::fwrite(text.data(), 1, text.size(), stdout);
    } else {
        std::string lf;
        lf.reserve(text.size());
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
            lf.push_back(text[i]);
        }
        const std::string utf8 = Cp1252ToUtf8(lf);
        std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    }
    std::fflush(stdout);
}

class Decoder {
public:
    Decoder(Engine& engine, bool rawText) : engine_(engine), rawText_(rawText) {}

    // Queue converted samples, process every whole block, show what was decoded.
    void Feed(const std::vector<double>& samples) {
        queue_.Append(std::span<const double>(samples));
        Run();
    }
    void Finish() {
        queue_.PadLastBlock();
        Run();
    }
    long Blocks() const { return blocks_; }

private:
    void Run() {
        while (queue_.PendingBlocks() > 0) {
            // One block at a time, with a take step after each, as the window's
            // timer would see it when it keeps up.
            OneBlockOf one(queue_);
            engine_.ProcessPendingBlocks(one);
            ++blocks_;
            engine_.ctx.TakeText(text_);
            WriteText(text_, rawText_);
        }
    }

    Engine& engine_;
    bool rawText_;
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

int DecodeFile(const Options& o, Engine& engine) {
    std::string error;
    std::unique_ptr<AudioReader> reader;
    if (o.type == "raw") {
        reader = OpenRawFile(o.input, o.rawRate, o.rawChannels, error);
    } else {
        reader = OpenSoundFile(o.input, error);
    }
    if (!reader) {
        std::cerr << "quorvel-decode: " << error << "\n";
        return kExitInput;
    }
    const int channels = reader->Channels();
    const int channel = o.channel > 0 ? o.channel : (channels >= 2 ? 2 : 1);
    if (channel > channels) {
        std::cerr << "quorvel-decode: channel " << channel << " asked for, but the input has " << channels
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
    Decoder decoder(engine, o.rawText);
    constexpr long kChunkFrames = 4096;
    std::vector<double> frames(static_cast<std::size_t>(kChunkFrames * channels));
    std::vector<double> mono;
    std::vector<double> converted;
    int status = 0;
    for (;;) {
        const long n = reader->Read(frames.data(), kChunkFrames);
        for (const std::string& w : reader->TakeWarnings()) std::cerr << "quorvel-decode: warning: " << w << "\n";
        if (n < 0) {
            std::cerr << "quorvel-decode: read error: " << reader->Error() << "\n";
            status = kExitInput;
        }
        const bool last = n <= 0;
        mono.resize(static_cast<std::size_t>(std::max(n, 0L)));
        for (std::size_t i = 0; i < mono.size(); ++i)
            mono[i] = frames[i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(channel - 1)] * scale;
        converted.clear();
        converter.Process(mono, last, converted);
        ToSampleValues(converted);
        decoder.Feed(converted);
        if (last) break;
    }
    decoder.Finish();
    if (o.stats) {
        const auto& s = engine.ctx.stats;
        std::printf("blocks: %ld\nDcOffset: %.3f\nAcLevel: %.3f\nDcMagnitude: %.3f\nClipHold: %.5f\n", decoder.Blocks(),
                    s.DcOffset.load(), s.AcLevel.load(), s.DcMagnitude.load(), s.ClipHold.load());
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    Options o;
    CLI::App app(
        "quorvel-decode: decodes POCSAG, FMS and ZVEI/CCIR five-tone signalling from a sound file or raw samples.\n"
        "Input is converted to 11025 Hz and cut into blocks of 1024 samples; a last partial block is padded with "
        "silence, and a raw frame cut short at the end is dropped. Decoded lines go to standard output.",
        "quorvel-decode");
    app.set_version_flag("--version", std::string("quorvel-decode ") + QUORVEL_VERSION);
    app.add_option("input", o.input, "sound file (WAV, FLAC, OGG...) or raw samples; - for standard input");
    app.add_option("-t,--type", o.type, "input type: auto (a sound file) or raw (signed 16-bit little-endian)")
        ->check(CLI::IsMember({"auto", "raw"}));
    app.add_option("-r,--rate", o.rawRate, "sample rate of raw input in Hz")->check(CLI::Range(1.0, 1000000.0));
    app.add_option("-c,--channels", o.rawChannels, "channels of raw input")->check(CLI::Range(1, 64));
    app.add_option("--channel", o.channel, "channel to decode (1-based; default: the second of a stereo input)")
        ->check(CLI::Range(1, 64));
    app.add_option("-d,--decoders", o.decoders, "decoders to run, comma separated (default: pocsag,fms,zvei)")
        ->delimiter(',')
        ->allow_extra_args(false)
        ->check(CLI::IsMember({"pocsag", "fms", "zvei", "none"}));
    app.add_option("--table", o.table, "tone table: zvei-normal, zvei-wide, zvei-narrow or ccir (or 0..3)");
    app.add_option("--characteristic", o.characteristic, "POCSAG input: discriminator or line (filtered line output)");
    app.add_flag("--raw-text", o.rawText, "write the decoders' Windows-1252 bytes with CR LF instead of UTF-8 with LF");
    app.add_flag("--stats", o.stats, "print the final level statistics and the number of blocks");
    app.add_option("--log-dir", o.logDir, "write the POCSAG message log and stream log into this folder (created if missing)");
    app.add_flag("--list-devices", o.listDevices, "list the sound-card capture devices and end");
    app.add_option("--device", o.device, "decode live input from capture device N (see --list-devices) until interrupted")
        ->check(CLI::NonNegativeNumber);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        std::cerr << "quorvel-decode: " << e.what() << "\n";
        return kExitUsage;
    }
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
    if (o.input.empty() && o.device < 0) {
        std::cerr << "quorvel-decode: no input given (a file, or - for standard input); see --help\n";
        return kExitUsage;
    }
    if (o.type == "raw" && o.rawRate <= 0.0) {
        std::cerr << "quorvel-decode: raw input needs its sample rate (-r RATE)\n";
        return kExitUsage;
    }

    SystemClock clock;
    auto engine = std::make_unique<Engine>(clock);
    auto& settings = engine->ctx.settings;
    settings.SelectToneTable(table);
    settings.PocsagCharacteristic.store(characteristic);
    engine->pocsag.PocsagSetCharacteristic();
    for (const std::string& d : o.decoders) {
        if (d == "pocsag") settings.PocsagEnabled.store(true);
        if (d == "fms") settings.FmsEnabled.store(true);
        if (d == "zvei") settings.ZveiEnabled.store(true);
    }
    if (!o.logDir.empty()) {
        std::error_code ignored;
        std::filesystem::create_directory(o.logDir, ignored);  // one level; opening tells if it is unusable
        engine->logs.SetFolder(o.logDir);
        if (!engine->logs.MessageLog(laOpen) || !engine->logs.StreamLog(laOpen)) {
            std::cerr << "quorvel-decode: cannot open the POCSAG logs: " << engine->logs.LastError() << "\n";
            engine->logs.MessageLog(laClose);
            return kExitInput;
        }
    }
    const int status = o.device >= 0
                           ? DecodeLive(*engine, o.device, [&o](const std::string& t) { WriteText(t, o.rawText); }, o.stats)
                           : DecodeFile(o, *engine);
    if (!o.logDir.empty()) {
        const std::int64_t failed = engine->logs.FailedLines();
        engine->logs.MessageLog(laClose);
        engine->logs.StreamLog(laClose);
        if (failed > 0) {
            std::cerr << "quorvel-decode: " << failed << " log line(s) not written: " << engine->logs.LastError() << "\n";
            return kExitInput;
        }
    }
    return status;
}
