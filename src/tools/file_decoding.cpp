#include "file_decoding.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "audio_reader.h"
#include "core/sample_source.h"

namespace quorvel::tools {

namespace {

class Decoder {
public:
    Decoder(Engine& engine, Output& out, LogWatch& logWatch) : engine_(engine), out_(out), logWatch_(logWatch) {}

    // Queue converted samples, process every whole block, show what was decoded.
    // False once output has failed.
    bool Feed(const std::vector<double>& samples) {
        queue_.Append(std::span<const double>(samples));
        return Run();
    }
    bool Finish() {
        queue_.PadLastBlock();
        return Run();
    }
    // After the input: the silence that lets the decoders finish what is under
    // way, then whatever is still incomplete.
    void Drain() {
        engine_.FinishInput([this] { Take(); });
    }
    long Blocks() const { return blocks_; }

private:
    bool Run() {
        while (queue_.PendingBlocks() > 0 && !out_.Failed()) {
            // One block at a time, with a take step after each, as the window's
            // timer would see it when it keeps up.
            OneBlockOf one(queue_);
            engine_.ProcessPendingBlocks(one);
            ++blocks_;
            Take();
        }
        return !out_.Failed();
    }
    void Take() {
        engine_.ctx.TakeText(text_);
        out_.Write(text_);
        logWatch_.Check();
    }

    Engine& engine_;
    Output& out_;
    LogWatch& logWatch_;
    SampleQueue queue_;
    std::string text_;
    long blocks_ = 0;
};

// The power of every channel of an input, to tell a silent channel.
class ChannelLevels {
public:
    // `fullScale`: the value of a full-scale sample in the reader's units.
    ChannelLevels(int channels, double fullScale)
        : sums_(static_cast<std::size_t>(channels), 0.0), scale_(1.0 / fullScale) {}
    void Add(const double* frames, long count) {
        const std::size_t c = sums_.size();
        for (long i = 0; i < count; ++i)
            for (std::size_t k = 0; k < c; ++k) {
                const double x = frames[static_cast<std::size_t>(i) * c + k] * scale_;
                sums_[k] += x * x;
            }
        frames_ += count;
    }
    long long Frames() const { return frames_; }
    // The 1-based channel that carries signal (above -50 dB of full scale)
    // while `channel` is silent (below -60 dB, and 30 dB or more below it); 0
    // when there is none.
    int LouderThanSilent(int channel) const {
        if (frames_ == 0 || sums_.size() < 2) return 0;
        const double n = static_cast<double>(frames_);
        const double own = sums_[static_cast<std::size_t>(channel - 1)] / n;
        const auto loudest = std::max_element(sums_.begin(), sums_.end());
        if (own < 1e-6 && *loudest / n > 1e-5 && *loudest / n > own * 1000.0)
            return static_cast<int>(loudest - sums_.begin()) + 1;
        return 0;
    }

private:
    std::vector<double> sums_;
    double scale_;
    long long frames_ = 0;
};

// Sound-card values: round to whole 16-bit values (halves to even) and clip.
void ToSampleValues(std::vector<double>& samples) {
    for (double& x : samples) {
        x = RoundHalfEvenValue(x);
        x = std::clamp(x, -32768.0, 32767.0);
    }
}

}  // namespace

int DecodeFile(const char* program, const FileInputOptions& o, const std::string& input, Engine& engine, Output& out,
               LogWatch& logWatch) {
    std::string error;
    std::unique_ptr<AudioReader> reader;
    if (o.raw) {
        reader = OpenRawFile(input, o.rawRate, o.rawChannels, error);
    } else {
        reader = OpenSoundFile(input, error);
    }
    if (!reader) {
        std::cerr << program << ": " << error << "\n";
        if (!o.raw && o.rawFormatGiven)
            std::cerr << program << ": -r and -c describe raw samples: add -t raw to read " << input << " as such\n";
        return kExitInput;
    }
    const int channels = reader->Channels();
    if (!o.raw && o.rawFormatGiven) {
        std::cerr << program << ": warning: -r and -c describe raw samples; " << input << " is read as its header "
                  << "says (" << reader->SampleRate() << " Hz, " << channels << " channel(s)); add -t raw to read it "
                  << "as raw samples\n";
    }
    const int channel = o.channel > 0 ? o.channel : (channels >= 2 ? 2 : 1);
    if (channel > channels) {
        std::cerr << program << ": channel " << channel << " asked for, but " << input << " has " << channels
                  << " channel(s)\n";
        return kExitUsage;
    }
    // sndfile reads integer PCM as values in [-1, 1); raw input is in 16-bit units.
    const double scale = o.raw ? 1.0 : 32768.0;
    RateConverter converter(reader->SampleRate(), DefaultSampleRate);
    if (!converter.Ok()) {
        std::cerr << program << ": " << converter.Error() << "\n";
        return kExitInput;
    }
    Decoder decoder(engine, out, logWatch);
    constexpr long kChunkFrames = 4096;
    std::vector<double> frames(static_cast<std::size_t>(kChunkFrames * channels));
    std::vector<double> mono;
    std::vector<double> converted;
    int status = 0;
    ChannelLevels channelLevels(channels, o.raw ? 32768.0 : 1.0);
    for (;;) {
        long n = reader->Read(frames.data(), kChunkFrames);
        for (const std::string& w : reader->TakeWarnings()) std::cerr << program << ": warning: " << w << "\n";
        const bool stopped = o.stop != nullptr && o.stop->load();
        if (n < 0 && stopped) {
            n = 0;  // a read ended by the stop signal
        } else if (n < 0) {
            std::cerr << program << ": read error in " << input << ": " << reader->Error() << "\n";
            status = kExitInput;
        }
        const bool last = n <= 0 || stopped;
        channelLevels.Add(frames.data(), std::max(n, 0L));
        mono.resize(static_cast<std::size_t>(std::max(n, 0L)));
        for (std::size_t i = 0; i < mono.size(); ++i)
            mono[i] = frames[i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(channel - 1)] * scale;
        converted.clear();
        converter.Process(mono, last, converted);
        ToSampleValues(converted);
        if (!decoder.Feed(converted)) return kExitInput;
        if (last) break;
    }
    if (!decoder.Finish()) return kExitInput;
    if (channelLevels.Frames() == 0 && status == 0) {
        std::cerr << program << ": warning: " << (input == "-" ? std::string("standard input") : input)
                  << " holds no samples; nothing was decoded\n";
    } else if (const int louder = channelLevels.LouderThanSilent(channel); louder > 0) {
        std::cerr << program << ": warning: channel " << channel << " of " << input
                  << " is silent while channel " << louder << " carries signal; decode that one with --channel "
                  << louder << "\n";
    }
    // The statistics are those of the input, before the closing silence.
    const auto& s = engine.ctx.stats;
    const double levels[] = {s.DcOffset.load(), s.AcLevel.load(), s.DcMagnitude.load(), s.ClipHold.load()};
    decoder.Drain();
    if (o.stats) {
        std::fprintf(stderr, "blocks: %ld\nDcOffset: %.3f\nAcLevel: %.3f\nDcMagnitude: %.3f\nClipHold: %.5f\n",
                     decoder.Blocks(), levels[0], levels[1], levels[2], levels[3]);
        std::string counts;
        engine.decoders.AppendStats(engine.ctx.settings, counts);
        std::fputs(counts.c_str(), stderr);
    }
    return out.Failed() ? kExitInput : status;
}

}  // namespace quorvel::tools
