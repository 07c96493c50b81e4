#include "dtmf_gen.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace quorvel::gen {

namespace {

constexpr std::string_view kKeys = "123A456B789C*0#D";
constexpr double kLow[4] = {697.0, 770.0, 852.0, 941.0};
constexpr double kHigh[4] = {1209.0, 1336.0, 1477.0, 1633.0};

}  // namespace

bool DtmfKeyFrequencies(char key, double& lowHz, double& highHz) {
    if (key >= 'a' && key <= 'd') key = static_cast<char>(key - 'a' + 'A');
    const std::size_t k = kKeys.find(key);
    if (key == '\0' || k == std::string_view::npos) return false;
    lowHz = kLow[k / 4];
    highHz = kHigh[k % 4];
    return true;
}

bool DtmfTones(std::string_view keys, const DtmfOptions& o, std::vector<DtmfTone>& out, std::string* error) {
    out.clear();
    const double ratio = std::pow(10.0, o.twistDb / 20.0);
    const double lowLevel = o.level / (1.0 + ratio);
    const double scale = 1.0 + o.offsetPercent / 100.0;
    for (char key : keys) {
        DtmfTone t;
        if (!DtmfKeyFrequencies(key, t.lowHz, t.highHz)) {
            if (error) *error = "no DTMF key \"" + std::string(1, key) + "\" (keys: 0-9 * # A-D)";
            return false;
        }
        t.lowHz *= scale;
        t.highHz *= scale;
        t.lowLevel = lowLevel;
        t.highLevel = lowLevel * ratio;
        t.seconds = o.toneSeconds;
        t.pauseSeconds = o.pauseSeconds;
        out.push_back(t);
    }
    return true;
}

DtmfSignal SynthesizeDtmf(const std::vector<DtmfTone>& tones, int sampleRate) {
    DtmfSignal result;
    const double rate = static_cast<double>(sampleRate);
    double energy = 0.0;
    std::size_t sounding = 0;
    for (const DtmfTone& t : tones) {
        const auto n = static_cast<std::size_t>(std::llround(std::max(0.0, t.seconds) * rate));
        const auto pause = static_cast<std::size_t>(std::llround(std::max(0.0, t.pauseSeconds) * rate));
        const double wl = 2.0 * std::numbers::pi * t.lowHz / rate;
        const double wh = 2.0 * std::numbers::pi * t.highHz / rate;
        for (std::size_t i = 0; i < n; ++i) {
            const double x = static_cast<double>(i);
            const double v = t.lowLevel * std::sin(wl * x) + t.highLevel * std::sin(wh * x);
            result.samples.push_back(v);
            energy += v * v;
        }
        sounding += n;
        result.samples.resize(result.samples.size() + pause, 0.0);
    }
    result.signalPower = sounding > 0 ? energy / static_cast<double>(sounding) : 0.0;
    return result;
}

}  // namespace quorvel::gen
