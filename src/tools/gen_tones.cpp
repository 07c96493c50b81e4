// quorvel-gen tones: five-tone selective-call sequences (ZVEI normal, ZVEI wide,
// ZVEI narrow, CCIR) as a WAV file.
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <sstream>

#include "gen/tone_gen.h"
#include "gen_command.h"

namespace quorvel::tools {
namespace {

bool ParseFrequencyList(const std::string& text, std::vector<double>& out) {
    out.clear();
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        char* end = nullptr;
        const double f = std::strtod(item.c_str(), &end);
        if (item.empty() || end == item.c_str() || *end != '\0' || !(f > 0.0 && f < 20000.0)) return false;
        out.push_back(f);
    }
    return !out.empty();
}

void AddTonesCommand(CLI::App& app, int& exitCode) {
    static OutputOptions o;
    static std::string table = "zvei-normal";
    static std::vector<std::string> symbolSequences;
    static std::vector<std::string> frequencySequences;
    static double toneMs = 0.0;  // 0: the table's usual length
    static double gapMs = 0.0;
    static double pauseMs = 200.0;
    static bool noRepeat = false;
    CLI::App* cmd = app.add_subcommand("tones", "five-tone selective-call sequences");
    AddOutputOptions(*cmd, o);
    cmd->add_option("--table", table, "tone table: zvei-normal, zvei-wide, zvei-narrow, ccir (or 0..3)");
    cmd->add_option("-s,--sequence", symbolSequences,
                    "symbols of one sequence, e.g. 12345 or 1R1R1 (repeatable: several sequences in a row)");
    cmd->add_option("--freqs", frequencySequences,
                    "one sequence as comma-separated frequencies in Hz, e.g. 1060,2800,970,1400,1530 "
                    "(repeatable; sent after the --sequence ones)");
    cmd->add_option("--tone-ms", toneMs, "length of each tone in ms (default 70, CCIR 100)")->check(FiniteNumber)->check(CLI::Range(0.0, 60000.0));
    cmd->add_option("--gap-ms", gapMs, "silence between the tones of a sequence in ms")->check(FiniteNumber)->check(CLI::Range(0.0, 60000.0));
    cmd->add_option("--pause-ms", pauseMs, "silence between sequences in ms")->check(FiniteNumber)->check(CLI::Range(0.0, 3600000.0));
    cmd->add_flag("--no-repeat", noRepeat, "send a repeated symbol as itself instead of the repeat tone R");
    cmd->callback([&exitCode] {
        const int t = gen::ToneTableByName(table);
        if (t < 0) {
            std::cerr << "quorvel-gen: unknown tone table \"" << table << "\"\n";
            exitCode = 2;
            return;
        }
        std::vector<std::vector<double>> sequences;
        for (const std::string& s : symbolSequences) {
            std::vector<double> f;
            std::string error;
            if (!gen::ToneFrequencies(t, s, !noRepeat, f, &error)) {
                std::cerr << "quorvel-gen: " << error << "\n";
                exitCode = 2;
                return;
            }
            sequences.push_back(f);
        }
        for (const std::string& s : frequencySequences) {
            std::vector<double> f;
            if (!ParseFrequencyList(s, f)) {
                std::cerr << "quorvel-gen: bad frequency list \"" << s << "\"\n";
                exitCode = 2;
                return;
            }
            sequences.push_back(f);
        }
        if (sequences.empty()) {
            std::cerr << "quorvel-gen: tones needs at least one --sequence or --freqs\n";
            exitCode = 2;
            return;
        }
        gen::ToneTiming timing;
        timing.toneSeconds = toneMs > 0.0 ? toneMs / 1000.0 : gen::StandardToneSeconds(t);
        timing.gapSeconds = gapMs / 1000.0;
        timing.pauseSeconds = pauseMs / 1000.0;
        // One sequence at a time (each starts at phase 0), the pauses between
        // them as silence that is never held; the power is summed over the same
        // samples in the same order as over the whole.
        const auto pause = static_cast<std::uint64_t>(std::llround(timing.pauseSeconds * o.sampleRate));
        std::vector<std::vector<double>> made;
        double energy = 0.0;
        std::uint64_t toneSamples = 0;
        for (const auto& sequence : sequences) {
            gen::ToneSignal one = gen::SynthesizeToneSequences({sequence}, timing, o.level, o.sampleRate);
            for (const double x : one.samples) energy += x * x;
            toneSamples += sequence.size() * static_cast<std::uint64_t>(std::llround(timing.toneSeconds * o.sampleRate));
            made.push_back(std::move(one.samples));
        }
        SignalPieces signal;
        for (std::size_t q = 0; q < made.size(); ++q) {
            if (q > 0) signal.Silence(pause);
            signal.Samples(made[q]);
        }
        exitCode = WriteSignal(o, signal, toneSamples > 0 ? energy / static_cast<double>(toneSamples) : 0.0);
    });
}

const GenCommandRegistrar tonesRegistrar(AddTonesCommand);

}  // namespace
}  // namespace quorvel::tools
