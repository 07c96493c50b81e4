// quorvel-gen flex: FLEX pages as a receiver would deliver them.
//
//   quorvel-gen flex -o pages.wav --mode 3200/4 --cycle 3 --frame 5 --frames 2
//       --page 123456,alpha,"Hello World" --page 2101249,numeric,0123-456,B
//       --page 1234567,tone
// (one command line)
//
// Each --page is CAPCODE,KIND[,TEXT][,PHASE]: KIND alpha, numeric, short (1..3
// numeric characters in the vector), numbered, special, tone, binary or secure
// (TEXT: the message words as hex numbers, space separated); PHASE A..D (default
// A), written as the last field.
#include <sstream>
#include <string>
#include <vector>

#include "gen/flex_gen.h"
#include "gen/signal.h"
#include "gen_command.h"

namespace quorvel::tools {
namespace {

using Kind = gen::FlexPageToSend::Kind;

std::string ParsePage(const std::string& value, gen::FlexPageToSend& page) {
    const std::string usage = "--page \"" + value + "\": expected CAPCODE,KIND[,TEXT][,PHASE]";
    const std::size_t c1 = value.find(',');
    if (c1 == std::string::npos) return usage;
    std::size_t c2 = value.find(',', c1 + 1);
    const std::string kind = value.substr(c1 + 1, c2 == std::string::npos ? std::string::npos : c2 - c1 - 1);
    std::string text = c2 == std::string::npos ? std::string() : value.substr(c2 + 1);
    try {
        std::size_t used = 0;
        page.capcode = std::stoull(value.substr(0, c1), &used);
        if (used != c1) throw std::invalid_argument("capcode");
    } catch (const std::exception&) {
        return usage;
    }
    static const std::vector<std::pair<std::string, Kind>> kinds = {
        {"alpha", Kind::Alpha},        {"numeric", Kind::Numeric}, {"short", Kind::ShortNumeric},
        {"numbered", Kind::NumberedNumeric}, {"special", Kind::SpecialNumeric}, {"tone", Kind::Tone},
        {"binary", Kind::Binary},      {"secure", Kind::Secure}};
    bool known = false;
    for (const auto& [name, k] : kinds)
        if (name == kind) {
            page.kind = k;
            known = true;
        }
    if (!known) return "--page \"" + value + "\": kind must be alpha, numeric, short, numbered, special, tone, binary or secure";
    // A last field of one letter A..D is the phase.
    page.phase = 0;
    const std::size_t last = text.rfind(',');
    const std::string tail = last == std::string::npos ? text : text.substr(last + 1);
    if (tail.size() == 1 && tail[0] >= 'A' && tail[0] <= 'D' && (last != std::string::npos || page.kind == Kind::Tone)) {
        page.phase = tail[0] - 'A';
        text = last == std::string::npos ? std::string() : text.substr(0, last);
    }
    if (page.kind == Kind::Binary || page.kind == Kind::Secure) {
        std::istringstream in(text);
        std::string w;
        while (in >> w) {
            try {
                std::size_t used = 0;
                const unsigned long v = std::stoul(w, &used, 16);
                if (used != w.size() || v > 0x1FFFFFul) throw std::out_of_range("word");
                page.words.push_back(static_cast<std::uint32_t>(v));
            } catch (const std::exception&) {
                return "--page \"" + value + "\": words are hex numbers of 21 bits";
            }
        }
    } else if (page.kind == Kind::Tone) {
        if (!text.empty()) return "--page \"" + value + "\": a tone-only page carries no text";
    } else {
        page.text = text;
    }
    return {};
}

void AddFlexCommand(CLI::App& app, int& exitCode) {
    static OutputOptions o;
    static std::vector<std::string> pages;
    static std::string mode = "1600/2";
    static std::string tap = "discriminator";
    static gen::FlexTransmission t;
    static gen::FlexSignal signal;
    CLI::App* cmd = app.add_subcommand("flex", "FLEX pages (alphanumeric, numeric, tone only, binary, secure)");
    AddOutputOptions(*cmd, o);
    cmd->add_option("--page", pages, "CAPCODE,KIND[,TEXT][,PHASE] with KIND alpha|numeric|short|numbered|special|tone|binary|secure")
        ->required();
    cmd->add_option("--mode", mode, "1600/2, 3200/2, 3200/4 or 6400/4")
        ->check(CLI::IsMember({"1600/2", "3200/2", "3200/4", "6400/4"}));
    cmd->add_option("--cycle", t.cycle, "cycle of the first frame")->check(CLI::Range(0, 14));
    cmd->add_option("--frame", t.frame, "number of the first frame")->check(CLI::Range(0, 127));
    cmd->add_option("--frames", t.frames, "frames to send at least")->check(CLI::Range(1, 1920));
    cmd->add_option("--fragment", t.fragmentChars, "characters per alphanumeric fragment")->check(CLI::Range(1, 249));
    cmd->add_flag("--inverted", signal.inverted, "send every symbol mirrored");
    cmd->add_option("--clock-ppm", signal.clockPpm, "symbol clock off nominal (ppm)")
        ->check(FiniteNumber)
        ->check(CLI::Range(-5000.0, 5000.0));
    cmd->add_option("--tap", tap, "receiver output: discriminator or line")->check(CLI::IsMember({"discriminator", "line"}));
    cmd->callback([&exitCode] {
        for (int m = 0; m < flex::ModeCount; ++m)
            if (mode == flex::Info(static_cast<flex::Mode>(m)).name) t.mode = static_cast<flex::Mode>(m);
        t.pages.clear();
        for (const std::string& value : pages) {
            gen::FlexPageToSend p;
            std::string error = ParsePage(value, p);
            if (error.empty()) {
                error = gen::FlexCheckPage(p, t.mode);
                if (!error.empty()) error = "--page \"" + value + "\": " + error;
            }
            if (!error.empty()) {
                std::cerr << "quorvel-gen flex: " << error << "\n";
                exitCode = 2;
                return;
            }
            t.pages.push_back(p);
        }
        if (o.sampleRate < 8000) {
            std::cerr << "quorvel-gen flex: --rate must be at least 8000 Hz for FLEX\n";
            exitCode = 2;
            return;
        }
        signal.mode = t.mode;
        signal.sampleRate = o.sampleRate;
        signal.level = o.level;
        signal.output = tap == "line" ? gen::FlexSignal::Output::LineOutput : gen::FlexSignal::Output::Discriminator;
        const std::vector<double> wave = gen::FlexWaveform(signal, gen::FlexFrames(t));
        exitCode = WriteSignal(o, wave, gen::MeanSquare(wave));
    });
}

const GenCommandRegistrar flexRegistrar(AddFlexCommand);

}  // namespace
}  // namespace quorvel::tools
