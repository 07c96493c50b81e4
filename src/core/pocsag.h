// The Pocsag decoder. (Not built yet: its per-block entry does nothing.)
#pragma once

#include "processing.h"

namespace quorvel {

class PocsagDecoder {
public:
    explicit PocsagDecoder(SharedContext& ctx) : ctx_(ctx) {}
    void PocsagProcessBlock();

private:
    SharedContext& ctx_;
};

}  // namespace quorvel
