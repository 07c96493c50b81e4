// One decoding engine: the shared state, the conditioning and the decoders of the
// registry. Its events go to whatever sinks the front end subscribes to
// ctx.events (render/standard_engine.h: the window's text and logs). The window,
// the command-line decoders and the tests each own one; nothing here is global.
#pragma once

#include <memory>
#include <vector>

#include "fms.h"
#include "pocsag.h"
#include "processing.h"
#include "registry.h"
#include "zvei.h"

namespace quorvel {

class Engine {
public:
    explicit Engine(const Clock& clock, const std::vector<DecoderEntry>& entries = StandardDecoders());
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    void ProcessPendingBlocks(BlockSource& source) {
        quorvel::ProcessPendingBlocks(ctx, conditioner, source, decoders);
    }

    // The input ended: decode silence, one block at a time with `afterBlock`
    // called after each (a take step), until no decoder that is on is busy, at
    // most `maxSeconds` of it; then every decoder emits what is still under way.
    // Returns the number of silent blocks decoded.
    template <class AfterBlock>
    std::int32_t FinishInput(AfterBlock afterBlock, double maxSeconds = 5.0);

    SharedContext ctx;
    InputConditioner conditioner;
    DecoderSet decoders;
    // The specified decoders (tests, and the window's characteristic box).
    PocsagDecoder& pocsag;
    FmsDecoder& fms;
    ZveiDecoder& zvei;

private:
    void DecodeOneSilentBlock();
};

template <class AfterBlock>
std::int32_t Engine::FinishInput(AfterBlock afterBlock, double maxSeconds) {
    const auto limit = static_cast<std::int32_t>(maxSeconds * ctx.SampleRate / FramesPerBlock);
    std::int32_t blocks = 0;
    while (blocks < limit && decoders.Busy(ctx.settings)) {
        DecodeOneSilentBlock();
        ++blocks;
        afterBlock();
    }
    decoders.FinishInput(ctx.settings);
    ctx.PublishText();
    afterBlock();
    return blocks;
}

}  // namespace quorvel
