// quorvel-compat's renderer: each event's line in the format stations read, as
// its kind's description writes it (core/compat_lines.h), chosen and shaped by
// the command line, appended to the context's MessageText so that the text
// hand-off carries it to the output (UTF-8, LF).
#pragma once

#include <string>

#include "core/compat_lines.h"
#include "core/events.h"

namespace quorvel {

struct SharedContext;

namespace compat {

class CompatRenderer final : public EventSink {
public:
    CompatRenderer(SharedContext& ctx, CompatOptions options);
    ~CompatRenderer() override;
    CompatRenderer(const CompatRenderer&) = delete;
    CompatRenderer& operator=(const CompatRenderer&) = delete;
    void OnEvent(const Event& event) override;

private:
    SharedContext& ctx_;
    CompatOptions options_;
    std::string line_;
};

}  // namespace compat
}  // namespace quorvel
