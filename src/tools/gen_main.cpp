// quorvel-gen: writes test signals as WAV files, for the tests and for users
// checking their receiver set-up.
#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <new>

#include "gen/signal.h"
#include "gen_command.h"
#include "version.h"

namespace quorvel::tools {

std::vector<CommandFactory>& GenCommands() {
    static std::vector<CommandFactory> commands;
    return commands;
}

const CLI::Validator FiniteNumber(
    [](std::string& text) -> std::string {
        char* end = nullptr;
        const double v = std::strtod(text.c_str(), &end);
        if (end == text.c_str() || !std::isfinite(v)) return "must be a finite number, not " + text;
        return {};
    },
    "FINITE", "FINITE");

void AddOutputOptions(CLI::App& command, OutputOptions& o) {
    command.add_option("-o,--output", o.path, "WAV file to write (- for standard output)")->required();
    command.add_option("--rate", o.sampleRate, "sample rate of the file in Hz")->check(CLI::Range(1000, 384000));
    command.add_option("--channels", o.channels, "channels of the file")->check(CLI::Range(1, 8));
    command.add_option("--signal-channel", o.signalChannel,
                       "channel (1-based) that carries the signal; the others stay silent (default: the second, or "
                       "the only one of a mono file)")
        ->check(CLI::PositiveNumber);
    command.add_option("--level", o.level, "peak amplitude of the clean signal (16-bit units, full scale 32767)")
        ->check(FiniteNumber)
        ->check(CLI::Range(0.0, 32767.0));
    command.add_option("--dc", o.dcOffset, "DC offset added to the signal (16-bit units)")->check(FiniteNumber);
    command.add_option("--snr", o.snrDb, "signal-to-noise ratio in dB: signal power where present over white noise power across the band")
        ->check(FiniteNumber);
    command.add_option("--seed", o.seed, "seed of the noise");
    command.add_option("--lead", o.leadSeconds, "seconds of silence (with noise) before the signal")
        ->check(FiniteNumber)
        ->check(CLI::Range(0.0, 3600.0));
    command.add_option("--tail", o.tailSeconds, "seconds of silence (with noise) after the signal")
        ->check(FiniteNumber)
        ->check(CLI::Range(0.0, 3600.0));
}

void SignalPieces::Samples(std::span<const double> samples) {
    pieces_.push_back({samples.size(), [samples](std::uint64_t start, std::span<double> out) {
                           std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(start), out.size(), out.begin());
                       }});
}

std::uint64_t SignalPieces::Length() const {
    std::uint64_t n = 0;
    for (const Piece& p : pieces_) n += p.length;
    return n;
}

void SignalPieces::Render(std::uint64_t start, std::span<double> out) const {
    std::fill(out.begin(), out.end(), 0.0);
    std::uint64_t pieceStart = 0;
    for (const Piece& p : pieces_) {
        const std::uint64_t pieceEnd = pieceStart + p.length;
        const std::uint64_t from = std::max(start, pieceStart);
        const std::uint64_t to = std::min<std::uint64_t>(start + out.size(), pieceEnd);
        if (from < to && p.fill) p.fill(from - pieceStart, out.subspan(from - start, to - from));
        pieceStart = pieceEnd;
        if (pieceStart >= start + out.size()) break;
    }
}

namespace {

// Where the samples go: a WAV file through the sound-file library, or a plain
// 16-bit WAV stream on standard output (its length is known before the first
// byte, so the header needs no second visit).
class WavSink {
public:
    WavSink(const std::string& path, const gen::WavLayout& layout, std::uint64_t frames) : path_(path), layout_(layout) {
        if (path == "-") {
            const std::uint64_t data = frames * static_cast<std::uint64_t>(layout.channels) * 2;
            std::string header(44, '\0');
            header.replace(0, 4, "RIFF");
            header.replace(8, 8, "WAVEfmt ");
            header.replace(36, 4, "data");
            const auto put = [&header](std::size_t at, std::uint64_t v, int bytes) {
                for (int k = 0; k < bytes; ++k) header[at + static_cast<std::size_t>(k)] = static_cast<char>(v >> (8 * k));
            };
            put(4, 36 + data, 4);
            put(16, 16, 4);
            put(20, 1, 2);  // PCM
            put(22, static_cast<std::uint64_t>(layout.channels), 2);
            put(24, static_cast<std::uint64_t>(layout.sampleRate), 4);
            put(28, static_cast<std::uint64_t>(layout.sampleRate) * static_cast<std::uint64_t>(layout.channels) * 2, 4);
            put(32, static_cast<std::uint64_t>(layout.channels) * 2, 2);
            put(34, 16, 2);
            put(40, data, 4);
            Put(header.data(), header.size());
            return;
        }
        SF_INFO info{};
        info.samplerate = layout.sampleRate;
        info.channels = layout.channels;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        file_ = sf_open(path.c_str(), SFM_WRITE, &info);
        if (file_ == nullptr) error_ = "cannot create " + path + ": " + sf_strerror(nullptr);
    }
    ~WavSink() {
        if (file_ != nullptr) sf_close(file_);
    }
    const std::string& Error() const { return error_; }

    // Interleaved 16-bit frames.
    void Write(const std::vector<std::int16_t>& frames) {
        if (!error_.empty()) return;
        if (file_ == nullptr) {
            std::string bytes(frames.size() * 2, '\0');
            for (std::size_t i = 0; i < frames.size(); ++i) {
                const auto v = static_cast<std::uint16_t>(frames[i]);
                bytes[2 * i] = static_cast<char>(v & 0xFF);
                bytes[2 * i + 1] = static_cast<char>(v >> 8);
            }
            Put(bytes.data(), bytes.size());
            return;
        }
        if (sf_write_short(file_, frames.data(), static_cast<sf_count_t>(frames.size())) !=
            static_cast<sf_count_t>(frames.size()))
            error_ = "cannot write " + path_ + ": " + sf_strerror(file_);
    }
    void Close() {
        if (file_ != nullptr) {
            if (sf_close(file_) != 0 && error_.empty()) error_ = "cannot finish " + path_;
            file_ = nullptr;
        } else if (error_.empty() && std::fflush(stdout) != 0) {
            error_ = std::string("cannot write to standard output: ") + std::strerror(errno);
        }
    }

private:
    void Put(const char* data, std::size_t n) {
        if (error_.empty() && std::fwrite(data, 1, n, stdout) != n)
            error_ = std::string("cannot write to standard output: ") + std::strerror(errno);
    }

    std::string path_;
    gen::WavLayout layout_;
    SNDFILE* file_ = nullptr;
    std::string error_;
};

}  // namespace

int WriteSignal(const OutputOptions& o, const SignalPieces& signal, double signalPower) {
    const int signalChannel = o.signalChannel > 0 ? o.signalChannel : (o.channels >= 2 ? 2 : 1);
    if (signalChannel > o.channels) {
        std::cerr << "quorvel-gen: --signal-channel " << signalChannel << " but the file has " << o.channels << " channel(s)\n";
        return 2;
    }
    const auto lead = static_cast<std::uint64_t>(std::llround(o.leadSeconds * o.sampleRate));
    const auto tail = static_cast<std::uint64_t>(std::llround(o.tailSeconds * o.sampleRate));
    const std::uint64_t frames = lead + signal.Length() + tail;
    // A WAV file counts its bytes in 32 bits.
    const std::uint64_t bytes = frames * static_cast<std::uint64_t>(o.channels) * 2;
    if (bytes > 0xFFFFFFFFull - 36) {
        std::cerr << "quorvel-gen: the signal would take " << bytes / 1048576
                  << " MiB of samples, more than a WAV file can hold (4 GiB): make it shorter, or use fewer channels or "
                     "a lower --rate\n";
        return 2;
    }
    const gen::WavLayout layout{o.sampleRate, o.channels, signalChannel - 1};
    WavSink sink(o.path, layout, frames);
    // The same noise sequence, sample by sample, as one pass over the whole.
    const double sigma = std::isfinite(o.snrDb) ? std::sqrt(signalPower / std::pow(10.0, o.snrDb / 10.0)) : 0.0;
    gen::NoiseSource noise(o.seed);
    constexpr std::uint64_t kStretch = 65536;
    std::vector<double> samples;
    std::vector<std::int16_t> interleaved;
    for (std::uint64_t at = 0; at < frames && sink.Error().empty(); at += kStretch) {
        const std::uint64_t n = std::min(kStretch, frames - at);
        samples.assign(n, 0.0);
        // The signal's part of this stretch, after the lead.
        const std::uint64_t signalEnd = lead + signal.Length();
        const std::uint64_t from = std::max(at, lead);
        const std::uint64_t to = std::min(at + n, signalEnd);
        if (from < to) signal.Render(from - lead, std::span<double>(samples).subspan(from - at, to - from));
        gen::AddOffset(samples, o.dcOffset);
        if (std::isfinite(o.snrDb))
            for (double& x : samples) x += sigma * noise.Gaussian();
        const auto pcm = gen::Quantize(samples);
        interleaved.assign(n * static_cast<std::uint64_t>(o.channels), 0);
        for (std::size_t i = 0; i < pcm.size(); ++i)
            interleaved[i * static_cast<std::size_t>(o.channels) + static_cast<std::size_t>(signalChannel - 1)] = pcm[i];
        sink.Write(interleaved);
    }
    sink.Close();
    if (!sink.Error().empty()) {
        std::cerr << "quorvel-gen: " << sink.Error() << "\n";
        return 1;
    }
    return 0;
}

int WriteSignal(const OutputOptions& o, const std::vector<double>& signal, double signalPower) {
    SignalPieces pieces;
    pieces.Samples(signal);
    return WriteSignal(o, pieces, signalPower);
}

namespace {

// A plain sine: for level checks of a sound path.
void AddSineCommand(CLI::App& app, int& exitCode) {
    static OutputOptions o;
    static double frequency = 1000.0;
    static double seconds = 1.0;
    CLI::App* cmd = app.add_subcommand("sine", "a sine tone");
    AddOutputOptions(*cmd, o);
    cmd->add_option("--frequency", frequency, "Hz")->check(FiniteNumber)->check(CLI::Range(1.0, 20000.0));
    cmd->add_option("--seconds", seconds, "length in seconds")->check(FiniteNumber)->check(CLI::Range(0.0, 36000.0));
    cmd->callback([&exitCode] {
        const auto n = static_cast<std::uint64_t>(std::llround(seconds * o.sampleRate));
        SignalPieces s;
        s.Generated(n, [](std::uint64_t start, std::span<double> out) {
            for (std::size_t k = 0; k < out.size(); ++k) {
                const auto i = static_cast<double>(start + k);
                out[k] = o.level * std::sin(2.0 * 3.14159265358979323846 * frequency * i / o.sampleRate);
            }
        });
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
    } catch (const std::bad_alloc&) {
        // What is held whole (one transmission, the tone sequences) did not fit.
        std::cerr << "quorvel-gen: out of memory: the signal is too long\n";
        return 1;
    }
    return exitCode;
}
