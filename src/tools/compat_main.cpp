// quorvel-compat: our decoders behind the command line and output lines that
// alarm stations and pager viewers expect of the decoder they start, so that a
// station can run it in that decoder's place. The sensitive decoders always run.
//
// The options are parsed by hand: -a, -s and -c act in the order given, and
// single-letter options may be glued to their values (-b1) or to each other.
#include <algorithm>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "audio_reader.h"
#include "compat_tones.h"
#include "core/engine.h"
#include "decode_live.h"
#include "file_decoding.h"
#include "render/compat_renderer.h"
#include "text_output.h"
#include "version.h"

namespace {

using namespace quorvel;
using namespace quorvel::tools;

constexpr const char* kProgram = "quorvel-compat";
constexpr double kRawRate = 22050.0;

// The decoder names a station gives, in the order --help lists them.
constexpr std::array<const char*, 6> kDecoderNames = {"POCSAG512", "POCSAG1200", "POCSAG2400",
                                                      "FMSFSK",    "ZVEI1",      "CCIR"};

struct Options {
    std::vector<std::string> inputs;
    std::string type;  // empty: a sound file, standard input sniffed
    std::vector<std::string> decoders;  // names from kDecoderNames
    compat::CompatOptions render;
    bool flush = true;
    bool help = false;
    bool version = false;
};

struct UsageError {
    std::string message;
};

std::string KnownDecoders() {
    std::string list;
    for (const char* n : kDecoderNames) list += (list.empty() ? "" : ", ") + std::string(n);
    return list;
}

bool Has(const std::vector<std::string>& set, const std::string& name) {
    return std::find(set.begin(), set.end(), name) != set.end();
}

void Apply(char letter, const std::string& value, Options& o, bool& anyAdded) {
    switch (letter) {
        case 'a':
        case 's': {
            if (std::find(kDecoderNames.begin(), kDecoderNames.end(), value) == kDecoderNames.end())
                throw UsageError{"unknown decoder '" + value + "'; known: " + KnownDecoders()};
            if (letter == 'a') {
                // The first -a starts from none: the station names what it wants.
                if (!anyAdded) o.decoders.clear();
                anyAdded = true;
                if (!Has(o.decoders, value)) o.decoders.push_back(value);
            } else {
                o.decoders.erase(std::remove(o.decoders.begin(), o.decoders.end(), value), o.decoders.end());
            }
            break;
        }
        case 'c':
            o.decoders.clear();
            anyAdded = true;
            break;
        case 'f':
            if (value == "alpha") {
                o.render.textMode = compat::TextMode::Alpha;
            } else if (value == "numeric") {
                o.render.textMode = compat::TextMode::Numeric;
            } else if (value == "auto") {
                o.render.textMode = compat::TextMode::Auto;
            } else if (value == "skyper") {
                throw UsageError{"-f skyper is not supported: our decoders do not decode Skyper messages; use auto, "
                                 "alpha or numeric"};
            } else {
                throw UsageError{"unknown -f mode '" + value + "'; known: alpha, numeric, auto"};
            }
            break;
        case 'C':
            if (!compat::ParseCharset(value, o.render.charset))
                throw UsageError{"unknown character set '" + value + "'; known: US, DE, FR, SE, DK, SI"};
            break;
        case 'b':
            if (value != "0" && value != "1" && value != "2")
                throw UsageError{"-b takes 0, 1 or 2 (corrected bits per codeword), not '" + value + "'"};
            o.render.maxBitsPerCodeword = value[0] - '0';
            break;
        case 't':
            if (value != "raw" && value != "wav" && value != "flac" && value != "ogg")
                throw UsageError{"unknown input type '" + value + "'; known: raw, wav, flac, ogg"};
            o.type = value;
            break;
        case 'e': o.render.skipToneOnly = true; break;
        case 'p': o.render.printIncomplete = true; break;
        case 'j': o.render.fmsShort = true; break;
        case 'n': o.flush = false; break;
        case 'h': o.help = true; break;
        default: break;  // -q -v -m -r -i -u: nothing to do
    }
}

bool TakesValue(char letter) { return std::strchr("asfCbtv", letter) != nullptr; }
bool IsFlag(char letter) { return std::strchr("cejnhqmriup", letter) != nullptr; }

Options Parse(int argc, char** argv) {
    Options o;
    o.decoders.assign(kDecoderNames.begin(), kDecoderNames.end());
    bool anyAdded = false;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || arg == "-" || arg.size() < 2 || arg[0] != '-') {
            o.inputs.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help") {
            o.help = true;
        } else if (arg == "--version") {
            o.version = true;
        } else if (arg == "--timestamp") {
            o.render.timestamp = true;
        } else if (arg == "--label" || arg.rfind("--label=", 0) == 0) {
            if (arg == "--label") {
                if (i + 1 >= argc) throw UsageError{"--label needs a text"};
                o.render.label = argv[++i];
            } else {
                o.render.label = arg.substr(8);
            }
        } else if (arg[1] == '-') {
            throw UsageError{"unknown option '" + arg + "'"};
        } else {
            // One or more letters; a letter that takes a value takes the rest of
            // the word, or the next word.
            for (std::size_t k = 1; k < arg.size(); ++k) {
                const char letter = arg[k];
                if (TakesValue(letter)) {
                    std::string value = arg.substr(k + 1);
                    if (value.empty()) {
                        if (i + 1 >= argc) throw UsageError{std::string("-") + letter + " needs a value"};
                        value = argv[++i];
                    }
                    Apply(letter, value, o, anyAdded);
                    break;
                }
                if (!IsFlag(letter)) throw UsageError{std::string("unknown option '-") + letter + "'"};
                Apply(letter, {}, o, anyAdded);
            }
        }
    }
    return o;
}

void PrintHelp() {
    std::printf(
        "Usage: %s [OPTION]... [FILE]...\n"
        "Decodes POCSAG, FMS and ZVEI/CCIR five-tone calls with Quorvel's sensitive decoders and prints them in the\n"
        "lines alarm stations and pager viewers read from their decoder. FILEs are decoded one after the other;\n"
        "- and /dev/stdin are standard input; no FILE: the default live input.\n"
        "\n"
        "  -t TYPE        raw (16-bit signed little-endian mono, 22050 Hz), wav, flac or ogg; without -t a FILE\n"
        "                 is a sound file and standard input is raw unless it starts like a sound file\n"
        "  -a NAME        add a decoder; the first -a starts from none (default: all)\n"
        "  -s NAME        remove a decoder\n"
        "  -c             remove all decoders\n"
        "                 NAME: %s\n"
        "                 (any POCSAG name decodes every rate; the rate measured names the line)\n"
        "  -f MODE        POCSAG text: alpha, numeric or auto (default: numeric for short function-0 messages)\n"
        "  -C CS          POCSAG character set: US (default), DE, FR, SE, DK, SI\n"
        "  -e             POCSAG: leave out calls without text\n"
        "  -p             POCSAG: print incomplete calls too\n"
        "  -b N           POCSAG: leave out calls with a codeword that needed more than N (0..2) bits corrected\n"
        "                 (default: as the decoder decides; it may correct more bits where the signal shows them)\n"
        "  -j             FMS: only the 12 hex digits and CRC correct\n"
        "  -n             do not flush after each line\n"
        "  --timestamp    start each line with the local time YYYY-MM-DD HH:MM:SS: \n"
        "  --label TEXT   start each line with TEXT: \n"
        "  -q -v N -m -r -i -u   accepted, nothing to do\n"
        "  -h, --help     this text\n"
        "  --version      the version\n"
        "\n"
        "Exit status: 0, 1 for input that cannot be read or output that cannot be written, 2 for usage errors.\n",
        kProgram, KnownDecoders().c_str());
}

bool IsStandardInput(const std::string& input) { return input == "-" || input == "/dev/stdin"; }

// Standard input is raw samples unless its first bytes are those of a sound file.
bool LooksLikeSoundFile(const std::string& head) {
    static constexpr std::array<const char*, 7> magics = {"RIFF", "RIFX", "RF64", "fLaC", "OggS", "FORM", ".snd"};
    if (head.size() < 4) return false;
    return std::any_of(magics.begin(), magics.end(), [&](const char* m) { return head.compare(0, 4, m) == 0; });
}

std::unique_ptr<Engine> MakeEngine(const Options& o, const Clock& clock, const std::vector<DecoderEntry>& entries) {
    auto engine = std::make_unique<Engine>(clock, entries);
    auto& settings = engine->ctx.settings;
    settings.Sensitive.store(true);
    const bool pocsag = Has(o.decoders, "POCSAG512") || Has(o.decoders, "POCSAG1200") || Has(o.decoders, "POCSAG2400");
    settings.PocsagEnabled.store(pocsag);
    settings.FmsEnabled.store(Has(o.decoders, "FMSFSK"));
    // The engine's tone decoder hears ZVEI; CCIR has one of its own.
    settings.SelectToneTable(0);
    settings.ZveiEnabled.store(Has(o.decoders, "ZVEI1"));
    return engine;
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    std::signal(SIGXFSZ, SIG_IGN);
    Options o;
    try {
        o = Parse(argc, argv);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "%s: %s\n", kProgram, e.message.c_str());
        std::fprintf(stderr, "Try '%s --help' for more information.\n", kProgram);
        return kExitUsage;
    }
    if (o.help) {
        PrintHelp();
        return 0;
    }
    if (o.version) {
        std::printf("%s %s\n", kProgram, QUORVEL_VERSION);
        return 0;
    }

    std::vector<DecoderEntry> entries = StandardDecoders();
    if (Has(o.decoders, "CCIR")) entries.push_back(ExtraCcirEntry());
    SystemClock clock;
    Output out(kProgram, true, o.flush);  // our lines are UTF-8 with LF already
    LogWatch logWatch(kProgram, nullptr);

    bool standardInputRead = false;
    auto run = [&](const std::string& input, bool live) {
        std::unique_ptr<Engine> engine = MakeEngine(o, clock, entries);
        compat::CompatRenderer renderer(engine->ctx, o.render);
        if (live) {
            // The first input listed: the sound server's default source (else
            // PortAudio's first device, as in the window). No device, or a build
            // without live input: the input cannot be read.
            const int s = DecodeLive(*engine, "0", [&](const std::string& t) { out.Write(t); }, false, kProgram);
            return s == 0 ? 0 : kExitInput;
        }
        FileInputOptions fileOptions;
        fileOptions.raw = o.type == "raw";
        if (IsStandardInput(input) && o.type.empty())
            fileOptions.raw = !LooksLikeSoundFile(PeekInputBytes(STDIN_FILENO, 4));
        fileOptions.rawRate = kRawRate;
        return DecodeFile(kProgram, fileOptions, IsStandardInput(input) ? "-" : input, *engine, out, logWatch);
    };
    int status = 0;
    if (o.inputs.empty()) {
        status = run("", true);
    } else {
        for (const std::string& input : o.inputs) {
            if (IsStandardInput(input)) {
                // Given twice (- and /dev/stdin): it was read to its end already.
                if (standardInputRead) continue;
                standardInputRead = true;
            }
            const int s = run(input, false);
            if (s != 0 && status == 0) status = s;
            if (out.Failed()) break;
        }
    }
    if (!out.Finish() && status == 0) status = kExitInput;
    return status;
}
