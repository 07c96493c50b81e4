#include "file_decoding.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>
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
    for (;;) {
        const long n = reader->Read(frames.data(), kChunkFrames);
        for (const std::string& w : reader->TakeWarnings()) std::cerr << program << ": warning: " << w << "\n";
        if (n < 0) {
            std::cerr << program << ": read error in " << input << ": " << reader->Error() << "\n";
            status = kExitInput;
        }
        const bool last = n <= 0;
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
    // The statistics are those of the input, before the closing silence.
    const auto& s = engine.ctx.stats;
    const double levels[] = {s.DcOffset.load(), s.AcLevel.load(), s.DcMagnitude.load(), s.ClipHold.load()};
    decoder.Drain();
    if (o.stats) {
        std::fprintf(stderr, "blocks: %ld\nDcOffset: %.3f\nAcLevel: %.3f\nDcMagnitude: %.3f\nClipHold: %.5f\n",
                     decoder.Blocks(), levels[0], levels[1], levels[2], levels[3]);
    }
    return out.Failed() ? kExitInput : status;
}

}  // namespace quorvel::tools
