// libFuzzer harness for the decoding engine: every decoder on, the settings
// taken from the first bytes (sensitive forms, tone table, POCSAG
// characteristic, blocks at which the Sensitive switch flips), the rest as
// 16-bit little-endian samples at 11025 Hz, then the end of input.
//
// Input: byte 0 flags (bit 0 Sensitive, bits 1-2 tone table, bit 3 line
// output, bits 4-6 a left shift of the samples), bytes 1-2 a mask of the first
// 16 blocks after which Sensitive flips, then the samples.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "render/standard_engine.h"
#include "core/sample_source.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorvel;
    if (size < 3) return 0;
    static const FixedClock clock{DateTime{2024, 5, 17, 14, 3, 7, 0}};
    StandardEngine engine(clock);
    DecoderSettings& settings = engine.ctx.settings;
    const std::uint8_t flags = data[0];
    const unsigned flips = static_cast<unsigned>(data[1]) | static_cast<unsigned>(data[2]) << 8;
    settings.PocsagEnabled.store(true);
    settings.FmsEnabled.store(true);
    settings.ZveiEnabled.store(true);
    settings.Sensitive.store((flags & 1) != 0);
    settings.SelectToneTable((flags >> 1) & 3);
    settings.PocsagCharacteristic.store((flags >> 3) & 1);
    engine.pocsag.PocsagSetCharacteristic();
    const int shift = (flags >> 4) & 7;  // loud inputs clip, quiet ones stay near zero

    std::vector<std::int16_t> samples((size - 3) / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const auto raw = static_cast<std::uint16_t>(data[3 + 2 * i] | data[4 + 2 * i] << 8);
        samples[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(raw << shift));
    }
    SampleQueue queue;
    queue.Append(std::span<const std::int16_t>(samples));
    queue.PadLastBlock();
    std::string text;
    for (int block = 0; queue.PendingBlocks() > 0; ++block) {
        OneBlockOf one(queue);
        engine.ProcessPendingBlocks(one);
        engine.ctx.TakeText(text);
        if (block < 16 && (flips >> block & 1u) != 0) settings.Sensitive.store(!settings.Sensitive.load());
    }
    engine.FinishInput([&] { engine.ctx.TakeText(text); });
    return 0;
}
