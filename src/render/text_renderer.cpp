#include "text_renderer.h"

#include "core/processing.h"

namespace quorvel {

TextRenderer::TextRenderer(SharedContext& ctx, TextOptions options) : ctx_(ctx), options_(options) {
    ctx_.events.Subscribe(*this);
}

TextRenderer::~TextRenderer() { ctx_.events.Unsubscribe(*this); }

void TextRenderer::OnEvent(const Event& event) { AppendEventText(event, ctx_.MessageText, options_); }

}  // namespace quorvel
