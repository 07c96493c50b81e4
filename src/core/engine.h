// One decoding engine: the shared state, the conditioning and the three decoders,
// run block by block by ProcessPendingBlocks. The window, the command-line decoder
// and the tests each own one; nothing here is global.
#pragma once

#include <memory>

#include "fms.h"
#include "pocsag.h"
#include "processing.h"
#include "zvei.h"

namespace quorvel {

class Engine final : public BlockDecoders {
public:
    explicit Engine(const Clock& clock) : ctx(clock), logs(clock), pocsag(ctx, logs), fms(ctx), zvei(ctx) {}
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    void ProcessPendingBlocks(BlockSource& source) {
        quorvel::ProcessPendingBlocks(ctx, conditioner, source, *this);
    }

    void PocsagProcessBlock() override { pocsag.PocsagProcessBlock(); }
    void FmsProcessBlock() override { fms.FmsProcessBlock(); }
    void ZveiProcessBlock() override { zvei.ZveiProcessBlock(); }

    SharedContext ctx;
    InputConditioner conditioner;
    LogFiles logs;
    PocsagDecoder pocsag;
    FmsDecoder fms;
    ZveiDecoder zvei;
};

}  // namespace quorvel
