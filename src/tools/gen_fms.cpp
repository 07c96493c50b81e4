// quorvel-gen fms: FMS status telegrams, with optional follow-on text, as a WAV
// file. Several transmissions may follow one another with silence between.
#include <cmath>
#include <iostream>

#include "gen/fms_gen.h"
#include "gen/signal.h"
#include "gen_command.h"

namespace quorvel::tools {
namespace {

// One hexadecimal digit 0..F (either case).
int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

template <std::size_t N>
bool ParseDigits(const std::string& text, std::array<int, N>& out) {
    if (text.size() != N) return false;
    for (std::size_t k = 0; k < N; ++k) {
        out[k] = HexValue(text[k]);
        if (out[k] < 0) return false;
    }
    return true;
}

void AddFmsCommand(CLI::App& app, int& exitCode) {
    static OutputOptions o;
    static gen::FmsTransmission tx;
    static std::string location = "12";
    static std::string vehicle = "3456";
    static std::string status = "2";
    static std::string text;
    static bool withText = false;
    static int count = 1;
    static double gapMs = 500.0;
    CLI::App* cmd = app.add_subcommand("fms", "FMS status telegrams with optional follow-on text");
    AddOutputOptions(*cmd, o);
    cmd->add_option("--organisation", tx.telegram.organisation, "organisation code 0..15 (6 Feuerwehr)")->check(CLI::Range(0, 15));
    cmd->add_option("--land", tx.telegram.land, "Land code 0..15 (3 Bay I)")->check(CLI::Range(0, 15));
    cmd->add_option("--location", location, "location code, two hex digits");
    cmd->add_option("--vehicle", vehicle, "vehicle code, four hex digits");
    cmd->add_option("--status", status, "status, one hex digit");
    cmd->add_option("--build-stage", tx.telegram.buildStage, "build-stage bit 0 or 1")->check(CLI::Range(0, 1));
    cmd->add_option("--direction", tx.telegram.direction, "0 vehicle to control room (F>L), 1 the other way (L>F)")
        ->check(CLI::Range(0, 1));
    cmd->add_option("--tactical", tx.telegram.tactical, "tactical short information 0..3 (shown I, II, III, IV)")
        ->check(CLI::Range(0, 3));
    cmd->add_option("--preamble", tx.preambleBits, "preamble length in bits")->check(CLI::Range(0, 10000));
    cmd->add_option("--text", text, "follow-on text (7-bit characters)")->each([](const std::string&) { withText = true; });
    cmd->add_option("--text-number", tx.textNumber, "number 0..63 of the first follow-on block")->check(CLI::Range(0, 63));
    cmd->add_flag("--follow-on", withText, "send follow-on blocks even with an empty text");
    cmd->add_option("--tail-bits", tx.tailBits, "\"1\" bits sent after the last block")->check(CLI::Range(0, 10000));
    cmd->add_option("--count", count, "number of transmissions")->check(CLI::Range(1, 10000));
    cmd->add_option("--gap-ms", gapMs, "silence between transmissions in ms")
        ->check(FiniteNumber)
        ->check(CLI::Range(0.0, 3600000.0));
    cmd->callback([&exitCode] {
        std::array<int, 1> statusDigit{};
        if (!ParseDigits(location, tx.telegram.location) || !ParseDigits(vehicle, tx.telegram.vehicle) ||
            !ParseDigits(status, statusDigit)) {
            std::cerr << "quorvel-gen: --location takes two, --vehicle four and --status one hex digit\n";
            exitCode = 2;
            return;
        }
        tx.telegram.status = statusDigit[0];
        tx.withText = withText;
        tx.text = text;
        const std::vector<double> one = gen::FmsWaveform(gen::FmsTransmissionBits(tx), o.level, o.sampleRate);
        const double power = gen::MeanSquare(one);
        const auto gap = static_cast<std::uint64_t>(std::llround(gapMs / 1000.0 * o.sampleRate));
        SignalPieces all;
        for (int k = 0; k < count; ++k) {
            if (k > 0) all.Silence(gap);
            all.Samples(one);
        }
        exitCode = WriteSignal(o, all, power);
    });
}

const GenCommandRegistrar fmsRegistrar(AddFmsCommand);

}  // namespace
}  // namespace quorvel::tools
