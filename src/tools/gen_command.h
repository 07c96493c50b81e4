// quorvel-gen: each kind of test signal registers one subcommand from its own
// file, so adding a generator touches nothing else.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <limits>

#include "core/common.h"
#include <span>
#include <string>
#include <vector>

namespace quorvel::tools {

// Options every generator shares: where and how the file is written, level,
// offset and noise.
struct OutputOptions {
    std::string path;
    int sampleRate = DefaultSampleRate;
    int channels = 2;
    int signalChannel = 0;  // 1-based, as users count; 0: the second of two or more channels, else the first
    double level = 10000.0;  // peak amplitude of the clean signal in 16-bit units
    double dcOffset = 0.0;
    double snrDb = std::numeric_limits<double>::infinity();  // none by default
    std::uint64_t seed = 1;
    double leadSeconds = 0.5;  // silence before and after the signal
    double tailSeconds = 0.5;
};

void AddOutputOptions(CLI::App& command, OutputOptions& options);

// Refuses NaN and infinity (CLI11's ranges let NaN through).
extern const CLI::Validator FiniteNumber;

// A clean signal as pieces in order, so that long silences and repeats are never
// held in memory: silence, samples the caller keeps until the signal is written,
// or samples made on demand.
class SignalPieces {
public:
    // fill(start, out): the samples start .. start + out.size() - 1 of the piece.
    using Fill = std::function<void(std::uint64_t start, std::span<double> out)>;
    void Silence(std::uint64_t length) { pieces_.push_back({length, nullptr}); }
    void Samples(std::span<const double> samples);
    void Generated(std::uint64_t length, Fill fill) { pieces_.push_back({length, std::move(fill)}); }
    std::uint64_t Length() const;
    // Write the samples from `start` into out (silence where a piece has none).
    void Render(std::uint64_t start, std::span<double> out) const;

private:
    struct Piece {
        std::uint64_t length;
        Fill fill;
    };
    std::vector<Piece> pieces_;
};

// Frame the clean signal in its lead and tail silence, add DC offset and noise
// (signalPower: mean power of the signal where it is present), quantise and
// write (a file, or standard output for "-"), a stretch at a time. Returns the
// process exit status and reports errors on stderr.
int WriteSignal(const OutputOptions& options, const SignalPieces& signal, double signalPower);
int WriteSignal(const OutputOptions& options, const std::vector<double>& signal, double signalPower);

using CommandFactory = void (*)(CLI::App& app, int& exitCode);
std::vector<CommandFactory>& GenCommands();

struct GenCommandRegistrar {
    explicit GenCommandRegistrar(CommandFactory factory) { GenCommands().push_back(factory); }
};

}  // namespace quorvel::tools
