// The Zvei decoder. (Not built yet: its per-block entry does nothing.)
#pragma once

#include "processing.h"

namespace quorvel {

class ZveiDecoder {
public:
    explicit ZveiDecoder(SharedContext& ctx) : ctx_(ctx) {}
    void ZveiProcessBlock();

private:
    SharedContext& ctx_;
};

}  // namespace quorvel
