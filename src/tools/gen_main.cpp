// quorvel-gen: writes test signals as WAV files, for the tests and for users
// checking their receiver set-up.
#include <cmath>
#include <cstdio>
#include <iostream>

#include "gen/signal.h"
#include "gen_command.h"
#include "version.h"

namespace quorvel::tools {

std::vector<CommandFactory>& GenCommands() {
    static std::vector<CommandFactory> commands;
    return commands;
}

void AddOutputOptions(CLI::App& command, OutputOptions& o) {
    command.add_option("-o,--output", o.path, "WAV file to write")->required();
    command.add_option("--rate", o.sampleRate, "sample rate of the file in Hz")->check(CLI::Range(1000, 384000));
    command.add_option("--channels", o.channels, "channels of the file")->check(CLI::Range(1, 8));
    command.add_option("--signal-channel", o.signalChannel, "channel (1-based) that carries the signal; the others stay silent")
        ->check(CLI::PositiveNumber);
    command.add_option("--level", o.level, "peak amplitude of the clean signal (16-bit units, full scale 32767)")
        ->check(CLI::Range(0.0, 32767.0));
    command.add_option("--dc", o.dcOffset, "DC offset added to the signal (16-bit units)");
    command.add_option("--snr", o.snrDb, "signal-to-noise ratio in dB: signal power where present over white noise power across the band");
    command.add_option("--seed", o.seed, "seed of the noise");
    command.add_option("--lead", o.leadSeconds, "seconds of silence (with noise) before the signal")->check(CLI::Range(0.0, 3600.0));
    command.add_option("--tail", o.tailSeconds, "seconds of silence (with noise) after the signal")->check(CLI::Range(0.0, 3600.0));
}

int WriteSignal(const OutputOptions& o, const std::vector<double>& signal, double signalPower) {
    if (o.signalChannel > o.channels) {
        std::cerr << "quorvel-gen: --signal-channel " << o.signalChannel << " but the file has " << o.channels << " channel(s)\n";
        return 2;
    }
    const auto lead = static_cast<std::size_t>(std::llround(o.leadSeconds * o.sampleRate));
    const auto tail = static_cast<std::size_t>(std::llround(o.tailSeconds * o.sampleRate));
    std::vector<double> samples(lead, 0.0);
    samples.insert(samples.end(), signal.begin(), signal.end());
    samples.resize(samples.size() + tail, 0.0);
    gen::AddOffset(samples, o.dcOffset);
    if (std::isfinite(o.snrDb)) gen::AddNoise(samples, signalPower, o.snrDb, o.seed);
    const auto pcm = gen::Quantize(samples);
    const std::string error = gen::WriteWav(o.path, pcm, {o.sampleRate, o.channels, o.signalChannel - 1});
    if (!error.empty()) {
        std::cerr << "quorvel-gen: " << error << "\n";
        return 1;
    }
    return 0;
}

namespace {

// A plain sine: for level checks of a sound path.
void AddSineCommand(CLI::App& app, int& exitCode) {
    static OutputOptions o;
    static double frequency = 1000.0;
    static double seconds = 1.0;
    CLI::App* cmd = app.add_subcommand("sine", "a sine tone");
    AddOutputOptions(*cmd, o);
    cmd->add_option("--frequency", frequency, "Hz")->check(CLI::Range(1.0, 20000.0));
    cmd->add_option("--seconds", seconds, "length in seconds")->check(CLI::Range(0.0, 36000.0));
    cmd->callback([&exitCode] {
        const auto n = static_cast<std::size_t>(std::llround(seconds * o.sampleRate));
        std::vector<double> s(n);
        for (std::size_t i = 0; i < n; ++i)
            s[i] = o.level * std::sin(2.0 * 3.14159265358979323846 * frequency * static_cast<double>(i) / o.sampleRate);
        exitCode = WriteSignal(o, s, o.level * o.level / 2.0);
    });
}

const GenCommandRegistrar sineRegistrar(AddSineCommand);

}  // namespace
}  // namespace quorvel::tools

int main(int argc, char** argv) {
    using namespace quorvel::tools;
    CLI::App app("quorvel-gen: writes test signals (WAV, 16 bit) for the Quorvel decoders", "quorvel-gen");
    app.set_version_flag("--version", std::string("quorvel-gen ") + QUORVEL_VERSION);
    app.require_subcommand(1);
    int exitCode = 0;
    for (CommandFactory factory : GenCommands()) factory(app, exitCode);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        std::cerr << "quorvel-gen: " << e.what() << "\n";
        return 2;
    }
    return exitCode;
}
