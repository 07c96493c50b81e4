// quorvel-gen: each kind of test signal registers one subcommand from its own
// file, so adding a generator touches nothing else.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace quorvel::tools {

// Options every generator shares: where and how the file is written, level,
// offset and noise.
struct OutputOptions {
    std::string path;
    int sampleRate = 11025;
    int channels = 2;
    int signalChannel = 2;  // 1-based, as users count
    double level = 10000.0;  // peak amplitude of the clean signal in 16-bit units
    double dcOffset = 0.0;
    double snrDb = std::numeric_limits<double>::infinity();  // none by default
    std::uint64_t seed = 1;
    double leadSeconds = 0.5;  // silence before and after the signal
    double tailSeconds = 0.5;
};

void AddOutputOptions(CLI::App& command, OutputOptions& options);

// Frame the clean signal in its lead and tail silence, add DC offset and noise
// (signalPower: mean power of the signal where it is present), quantise and
// write. Returns the process exit status and reports errors on stderr.
int WriteSignal(const OutputOptions& options, const std::vector<double>& signal, double signalPower);

using CommandFactory = void (*)(CLI::App& app, int& exitCode);
std::vector<CommandFactory>& GenCommands();

struct GenCommandRegistrar {
    explicit GenCommandRegistrar(CommandFactory factory) { GenCommands().push_back(factory); }
};

}  // namespace quorvel::tools
