// The decoded text of the window and of quorvel-decode's text output: every event
// as the lines the decoders have always written (Windows-1252, TAB-separated, CR
// LF; each kind's description says how), appended to the context's MessageText,
// from where the text hand-off takes it to the window or the command line.
#pragma once

#include "core/events.h"
#include "core/fms.h"
#include "core/kind.h"

namespace quorvel {

struct SharedContext;

// Subscribes to the context's events for its lifetime and appends their text to
// its MessageText.
class TextRenderer final : public EventSink {
public:
    explicit TextRenderer(SharedContext& ctx, TextOptions options = {});
    ~TextRenderer() override;
    TextRenderer(const TextRenderer&) = delete;
    TextRenderer& operator=(const TextRenderer&) = delete;
    void OnEvent(const Event& event) override;

private:
    SharedContext& ctx_;
    TextOptions options_;
};

}  // namespace quorvel
