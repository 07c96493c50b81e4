// What the station suites share: a recording with the traffic of a small
// station (POCSAG calls with a tone-only call before a text call, repeats, and
// a repeat after the duplicate window; FMS statuses of one vehicle, repeated
// and changed; five-tone sequences), written as a WAV file, and a scratch
// folder per test.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "gen/fms_gen.h"
#include "gen/pocsag_gen.h"
#include "gen/signal.h"
#include "gen/tone_gen.h"

namespace quorvel::testing {

struct StationTraffic {
    std::vector<double> samples;

    void Silence(double seconds) { samples.resize(samples.size() + static_cast<std::size_t>(seconds * 11025), 0.0); }
    void Append(const std::vector<double>& s) { samples.insert(samples.end(), s.begin(), s.end()); }
    void Pocsag(const std::vector<gen::PocsagMessage>& calls) {
        Append(gen::PocsagWaveform(gen::PocsagSignal{}, gen::PocsagCodewords(calls)));
        Silence(0.6);
    }
    void Fms(int status) {
        gen::FmsTransmission t;
        t.telegram.status = status;
        Append(gen::FmsWaveform(gen::FmsTransmissionBits(t), 10000.0, 11025));
        Silence(0.6);
    }
    void Tones(const std::vector<std::string>& sequences) {
        std::vector<std::vector<double>> f;
        for (const std::string& s : sequences) {
            f.emplace_back();
            gen::ToneFrequencies(0, s, true, f.back());
        }
        gen::ToneTiming timing;
        timing.pauseSeconds = 0.6;
        Append(gen::SynthesizeToneSequences(f, timing, 10000.0, 11025).samples);
        Silence(0.6);
    }

    // With --dedup 10: the calls marked "repeat" are duplicates, everything else
    // is not.
    StationTraffic() {
        using K = gen::PocsagMessage::Kind;
        Silence(0.3);
        Pocsag({{1234567, 3, K::ToneOnly, ""},
                {1234567, 3, K::Alphanumeric, "Feuer Nord, Halle 3"},
                {1234999, 1, K::Alphanumeric, "Probealarm Nord"},
                {2000000, 2, K::Alphanumeric, "Fremde Adresse 1"}});
        Fms(2);
        Fms(2);  // repeat
        Fms(3);
        Tones({"12345", "12345", "54321"});  // the second: repeat
        Pocsag({{1234567, 3, K::Alphanumeric, "Feuer Nord, Halle 3"},    // repeat
                {2000000, 2, K::Alphanumeric, "Fremde Adresse 1"}});   // repeat
        Silence(11.0);
        Pocsag({{1234567, 3, K::Alphanumeric, "Feuer Nord, Halle 3"}});  // beyond the window again
        Silence(0.5);
    }

    std::string WriteWav(const std::string& path) const {
        return gen::WriteWav(path, gen::Quantize(samples), gen::WavLayout{});
    }
};

// A folder of its own for one test, removed at its end.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& name)
        : dir_(std::filesystem::temp_directory_path() / ("quorvel-" + name + "-" + std::to_string(::getpid()))) {
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    ~ScratchDir() { std::filesystem::remove_all(dir_); }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    std::string Write(const std::string& name, const std::string& content) const {
        std::ofstream(Path(name), std::ios::binary) << content;
        return Path(name);
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(Path(name), std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

private:
    std::filesystem::path dir_;
};

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace quorvel::testing
