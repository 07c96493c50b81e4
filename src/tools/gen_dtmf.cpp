// quorvel-gen dtmf: DTMF keys as a WAV file.
#include <iostream>

#include "gen/dtmf_gen.h"
#include "gen_command.h"

namespace quorvel::tools {
namespace {

void AddDtmfCommand(CLI::App& app, int& exitCode) {
    static OutputOptions o;
    static std::string keys;
    static double toneMs = 70.0;
    static double pauseMs = 70.0;
    static double twistDb = 0.0;
    static double offsetPercent = 0.0;
    CLI::App* cmd = app.add_subcommand("dtmf", "DTMF keys (0-9 * # A-D)");
    AddOutputOptions(*cmd, o);
    cmd->add_option("--keys", keys, "the keys in order, e.g. 123#")->required();
    cmd->add_option("--tone-ms", toneMs, "length of each key in ms")->check(FiniteNumber)->check(CLI::Range(0.0, 60000.0));
    cmd->add_option("--pause-ms", pauseMs, "silence after each key in ms")->check(FiniteNumber)->check(CLI::Range(0.0, 60000.0));
    cmd->add_option("--twist", twistDb, "level of the high tone over the low tone in dB")
        ->check(FiniteNumber)
        ->check(CLI::Range(-40.0, 40.0));
    cmd->add_option("--offset", offsetPercent, "both frequencies moved by this many percent")
        ->check(FiniteNumber)
        ->check(CLI::Range(-20.0, 20.0));
    cmd->callback([&exitCode] {
        gen::DtmfOptions d;
        d.toneSeconds = toneMs / 1000.0;
        d.pauseSeconds = pauseMs / 1000.0;
        d.twistDb = twistDb;
        d.offsetPercent = offsetPercent;
        d.level = o.level;
        std::vector<gen::DtmfTone> tones;
        std::string error;
        if (!gen::DtmfTones(keys, d, tones, &error)) {
            std::cerr << "quorvel-gen: " << error << "\n";
            exitCode = 2;
            return;
        }
        if (tones.empty()) {
            std::cerr << "quorvel-gen: dtmf needs at least one key\n";
            exitCode = 2;
            return;
        }
        const gen::DtmfSignal s = gen::SynthesizeDtmf(tones, o.sampleRate);
        exitCode = WriteSignal(o, s.samples, s.signalPower);
    });
}

const GenCommandRegistrar dtmfRegistrar(AddDtmfCommand);

}  // namespace
}  // namespace quorvel::tools
