// The engine of the window: the specified text of every event into MessageText,
// and the POCSAG message and stream logs (open when the window opens them). Tests
// of the specified behaviour use it as the window does.
#pragma once

#include <vector>

#include "core/engine.h"
#include "core/logfile.h"
#include "log_renderer.h"
#include "text_renderer.h"

namespace quorvel {

class StandardEngine : public Engine {
public:
    explicit StandardEngine(const Clock& clock, const std::vector<DecoderEntry>& entries = StandardDecoders())
        : Engine(clock, entries), logs(clock) {}

    LogFiles logs;
    TextRenderer text{ctx};
    LogRenderer logRenderer{ctx, logs};
};

}  // namespace quorvel
