// quorvel-gen pocsag: pager calls as a receiver would deliver them.
//
//   quorvel-gen pocsag -o calls.wav --bitrate 1200
//       --call 1234567,3,alpha,"Einsatz Übung" --call 8,0,numeric,"0123 456"
//       --call next --call 17,1,tone
// (one command line)
//
// Each --call (ADDRESS,FUNCTION,KIND[,TEXT]; KIND numeric, alpha or tone; the
// text is everything after the third comma, UTF-8) adds a call to the current
// transmission; "--call next" starts another transmission after --gap seconds
// of silence. --repeat sends the whole sequence of transmissions again.
// --flip CODEWORD:BIT[,BIT...] inverts bits of a codeword in every
// transmission (bit errors as impulse interference or clipping give them).
#include <string>
#include <vector>

#include "gen/pocsag_gen.h"
#include "gen/signal.h"
#include "gen_command.h"

namespace quorvel::tools {
namespace {

// Parses one --call value into message; returns an error text or empty.
std::string ParseCall(const std::string& value, gen::PocsagMessage& message) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (fields.size() < 3) {
        const std::size_t comma = value.find(',', start);
        if (comma == std::string::npos) break;
        fields.push_back(value.substr(start, comma - start));
        start = comma + 1;
    }
    fields.push_back(value.substr(start));
    if (fields.size() < 3) return "--call \"" + value + "\": expected ADDRESS,FUNCTION,KIND[,TEXT]";
    try {
        std::size_t used = 0;
        const unsigned long address = std::stoul(fields[0], &used);
        if (used != fields[0].size() || address > gen::kPocsagMaxAddress) throw std::out_of_range("address");
        message.address = static_cast<std::uint32_t>(address);
        const int function = std::stoi(fields[1], &used);
        if (used != fields[1].size()) throw std::invalid_argument("function");
        message.function = function;
    } catch (const std::exception&) {
        return "--call \"" + value + "\": address must be 0..2097151 and function 0..3";
    }
    const std::string& kind = fields[2];
    if (kind == "numeric") {
        message.kind = gen::PocsagMessage::Kind::Numeric;
    } else if (kind == "alpha") {
        message.kind = gen::PocsagMessage::Kind::Alphanumeric;
    } else if (kind == "tone") {
        message.kind = gen::PocsagMessage::Kind::ToneOnly;
    } else {
        return "--call \"" + value + "\": kind must be numeric, alpha or tone";
    }
    message.text = fields.size() > 3 ? fields[3] : std::string();
    if (message.kind == gen::PocsagMessage::Kind::ToneOnly && !message.text.empty())
        return "--call \"" + value + "\": a tone-only call carries no text";
    const std::string error = gen::PocsagCheckMessage(message);
    return error.empty() ? error : "--call \"" + value + "\": " + error;
}

// Parses one --flip value (CODEWORD:BIT[,BIT...], CODEWORD a number or "all").
std::string ParseFlip(const std::string& value, gen::PocsagFlip& flip) {
    const std::string error = "--flip \"" + value + "\": expected CODEWORD:BIT[,BIT...] with CODEWORD a number or "
                              "'all' and BIT 0..31";
    const std::size_t colon = value.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == value.size()) return error;
    const std::string word = value.substr(0, colon);
    flip = {};
    try {
        if (word == "all") {
            flip.codeword = gen::kPocsagEveryCodeword;
        } else {
            std::size_t used = 0;
            if (word[0] == '-' || word[0] == '+') return error;
            flip.codeword = static_cast<std::size_t>(std::stoull(word, &used));
            if (used != word.size()) return error;
        }
        std::size_t start = colon + 1;
        while (start <= value.size()) {
            std::size_t comma = value.find(',', start);
            if (comma == std::string::npos) comma = value.size();
            const std::string bit = value.substr(start, comma - start);
            std::size_t used = 0;
            if (bit.empty() || bit[0] == '-' || bit[0] == '+') return error;
            const int b = std::stoi(bit, &used);
            if (used != bit.size() || b > 31) return error;
            flip.bits ^= 1u << b;
            start = comma + 1;
        }
    } catch (const std::exception&) {
        return error;
    }
    return "";
}

void AddPocsagCommand(CLI::App& app, int& exitCode) {
    static OutputOptions o;
    static gen::PocsagSignal signal;
    static std::vector<std::string> calls;
    static std::string tap = "discriminator";
    static double gapSeconds = 1.0;
    static int repeat = 1;
    static std::vector<std::string> flipValues;
    CLI::App* cmd = app.add_subcommand("pocsag", "POCSAG pager calls (numeric, alphanumeric, tone only)");
    AddOutputOptions(*cmd, o);
    cmd->add_option("--call", calls,
                    "ADDRESS,FUNCTION,KIND[,TEXT] with KIND numeric|alpha|tone (text UTF-8); \"next\" starts a new transmission")
        ->required();
    cmd->add_option("--bitrate", signal.bitRate, "bit/s")->check(FiniteNumber)->check(CLI::Range(400.0, 2800.0));
    cmd->add_flag("--inverted", signal.inverted, "send every bit inverted");
    cmd->add_option("--preamble", signal.preambleBits, "preamble bits before the first batch")->check(CLI::Range(0, 100000));
    cmd->add_option("--tap", tap, "receiver output: discriminator or line")
        ->check(CLI::IsMember({"discriminator", "line"}));
    cmd->add_option("--gap", gapSeconds, "seconds of silence between transmissions")
        ->check(FiniteNumber)
        ->check(CLI::Range(0.0, 3600.0));
    cmd->add_option("--flip", flipValues,
                    "CODEWORD:BIT[,BIT...] inverts those bits of that codeword in every transmission (bit errors); "
                    "codewords count from 0, the first sync codeword, through every codeword after the preamble; "
                    "'all' is every codeword but the syncs; bit 31 is sent first, 0 is the parity bit");
    cmd->add_option("--repeat", repeat, "times the whole sequence of transmissions is sent")->check(CLI::Range(1, 1000));
    cmd->callback([&exitCode] {
        std::vector<std::vector<gen::PocsagMessage>> transmissions(1);
        for (const std::string& value : calls) {
            if (value == "next") {
                if (!transmissions.back().empty()) transmissions.emplace_back();
                continue;
            }
            gen::PocsagMessage message;
            const std::string error = ParseCall(value, message);
            if (!error.empty()) {
                std::cerr << "quorvel-gen pocsag: " << error << "\n";
                exitCode = 2;
                return;
            }
            transmissions.back().push_back(message);
        }
        if (transmissions.back().empty() && transmissions.size() > 1) transmissions.pop_back();
        std::vector<gen::PocsagFlip> flips;
        for (const std::string& value : flipValues) {
            gen::PocsagFlip flip;
            const std::string error = ParseFlip(value, flip);
            if (!error.empty()) {
                std::cerr << "quorvel-gen pocsag: " << error << "\n";
                exitCode = 2;
                return;
            }
            flips.push_back(flip);
        }

        signal.sampleRate = o.sampleRate;
        signal.level = o.level;
        signal.output = tap == "line" ? gen::PocsagSignal::Output::LineOutput : gen::PocsagSignal::Output::Discriminator;
        if (o.sampleRate < 8000) {
            std::cerr << "quorvel-gen pocsag: --rate must be at least 8000 Hz for POCSAG\n";
            exitCode = 2;
            return;
        }
        const auto gap = static_cast<std::uint64_t>(std::llround(gapSeconds * o.sampleRate));
        // Each transmission is made once; repeats and gaps only refer to it.
        std::vector<std::vector<double>> waves;
        for (const auto& messages : transmissions) {
            std::vector<std::uint32_t> codewords = gen::PocsagCodewords(messages);
            try {
                gen::PocsagFlipBits(codewords, flips);
            } catch (const std::invalid_argument& e) {
                std::cerr << "quorvel-gen pocsag: --flip: " << e.what() << "\n";
                exitCode = 2;
                return;
            }
            waves.push_back(gen::PocsagWaveform(signal, codewords));
        }
        SignalPieces out;
        double energy = 0.0;
        std::uint64_t present = 0;
        for (int r = 0; r < repeat; ++r) {
            for (const auto& wave : waves) {
                if (out.Length() > 0) out.Silence(gap);
                for (const double x : wave) energy += x * x;
                present += wave.size();
                out.Samples(wave);
            }
        }
        exitCode = WriteSignal(o, out, present > 0 ? energy / static_cast<double>(present) : 0.0);
    });
}

const GenCommandRegistrar pocsagRegistrar(AddPocsagCommand);

}  // namespace
}  // namespace quorvel::tools
