// The Fms decoder. (Not built yet: its per-block entry does nothing.)
#pragma once

#include "processing.h"

namespace quorvel {

class FmsDecoder {
public:
    explicit FmsDecoder(SharedContext& ctx) : ctx_(ctx) {}
    void FmsProcessBlock();

private:
    SharedContext& ctx_;
};

}  // namespace quorvel
