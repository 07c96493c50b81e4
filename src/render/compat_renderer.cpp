#include "compat_renderer.h"

#include <cstdio>
#include <utility>

#include "core/kind.h"
#include "core/processing.h"

namespace quorvel::compat {

CompatRenderer::CompatRenderer(SharedContext& ctx, CompatOptions options) : ctx_(ctx), options_(std::move(options)) {
    ctx_.events.Subscribe(*this);
}

CompatRenderer::~CompatRenderer() { ctx_.events.Unsubscribe(*this); }

void CompatRenderer::OnEvent(const Event& event) {
    const KindDescription* kind = FindKind(EventKind(event));
    if (kind == nullptr || kind->compatLine == nullptr || !kind->compatLine(event, options_, line_) || line_.empty())
        return;
    ctx_.MessageText += LinePrefix(OriginOf(event).time, options_);
    ctx_.MessageText += line_;
    ctx_.MessageText += '\n';
}

}  // namespace quorvel::compat
