#include "signal.h"

#include <sndfile.h>

#include <cmath>
#include <numbers>

namespace quorvel::gen {

NoiseSource::NoiseSource(std::uint64_t seed) : state_(seed * 2685821657736338717ull + 0x9E3779B97F4A7C15ull) {
    if (state_ == 0) state_ = 1;
}

double NoiseSource::Uniform() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    const std::uint64_t r = state_ * 2685821657736338717ull;
    return (static_cast<double>(r >> 11) + 0.5) / 9007199254740992.0;
}

double NoiseSource::Gaussian() {
    if (spare_) {
        const double s = *spare_;
        spare_.reset();
        return s;
    }
    const double u1 = Uniform();
    const double u2 = Uniform();
    const double radius = std::sqrt(-2.0 * std::log(u1));
    const double angle = 2.0 * std::numbers::pi * u2;
    spare_ = radius * std::sin(angle);
    return radius * std::cos(angle);
}

double MeanSquare(std::span<const double> samples) {
    if (samples.empty()) return 0.0;
    double sum = 0.0;
    for (double x : samples) sum += x * x;
    return sum / static_cast<double>(samples.size());
}

void AddNoise(std::vector<double>& samples, double signalPower, double snrDb, std::uint64_t seed) {
    const double noisePower = signalPower / std::pow(10.0, snrDb / 10.0);
    const double sigma = std::sqrt(noisePower);
    NoiseSource noise(seed);
    for (double& x : samples) x += sigma * noise.Gaussian();
}

void AddOffset(std::vector<double>& samples, double offset) {
    for (double& x : samples) x += offset;
}

std::vector<std::int16_t> Quantize(std::span<const double> samples) {
    std::vector<std::int16_t> out(samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
        double v = std::nearbyint(samples[i]);
        if (!(v >= -32768.0)) v = -32768.0;
        if (v > 32767.0) v = 32767.0;
        out[i] = static_cast<std::int16_t>(v);
    }
    return out;
}

std::string WriteWav(const std::string& path, std::span<const std::int16_t> mono, const WavLayout& layout) {
    if (layout.channels < 1 || layout.signalChannel < 0 || layout.signalChannel >= layout.channels)
        return "the signal channel must be one of the file's channels";
    if (layout.sampleRate < 1) return "the sample rate must be positive";
    SF_INFO info{};
    info.samplerate = layout.sampleRate;
    info.channels = layout.channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) return std::string("cannot create ") + path + ": " + sf_strerror(nullptr);
    std::vector<std::int16_t> frames(mono.size() * static_cast<std::size_t>(layout.channels), 0);
    for (std::size_t i = 0; i < mono.size(); ++i)
        frames[i * static_cast<std::size_t>(layout.channels) + static_cast<std::size_t>(layout.signalChannel)] = mono[i];
    const sf_count_t written = sf_write_short(file, frames.data(), static_cast<sf_count_t>(frames.size()));
    std::string error;
    if (written != static_cast<sf_count_t>(frames.size())) error = std::string("cannot write ") + path + ": " + sf_strerror(file);
    if (sf_close(file) != 0 && error.empty()) error = std::string("cannot finish ") + path;
    return error;
}

}  // namespace quorvel::gen
