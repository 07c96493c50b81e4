#include "compat_renderer.h"

#include <cstdio>
#include <utility>

#include "core/processing.h"

namespace quorvel::compat {

std::string PocsagCallLine(const PocsagCall& call, const CompatOptions& o) {
    if (!call.complete && !o.printIncomplete) return {};
    if (o.maxBitsPerCodeword >= 0 && call.mostBitsCorrected > o.maxBitsPerCodeword) return {};
    const int rate = PocsagLineRate(call.bitRate);
    if (call.codewords == 0) {
        if (o.skipToneOnly) return {};
        return PocsagCompatLine(rate, call.ric, call.function, PocsagTextKind::Tone, {});
    }
    // Digits exist only for short messages; a longer one is shown as text
    // whatever was asked.
    const bool numeric = o.textMode == TextMode::Auto      ? call.numericType
                         : o.textMode == TextMode::Numeric ? call.hasNumeric
                                                           : false;
    if (numeric) return PocsagCompatLine(rate, call.ric, call.function, PocsagTextKind::Numeric, call.numeric);
    return PocsagCompatLine(rate, call.ric, call.function, PocsagTextKind::Alpha, PocsagText(call.alpha, o.charset));
}

std::string LinePrefix(const DateTime& t, const CompatOptions& o) {
    std::string prefix;
    if (o.timestamp) {
        char text[48];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d: ", t.year, t.month, t.day, t.hour, t.minute,
                      t.second);
        prefix = text;
    }
    if (!o.label.empty()) prefix += o.label + ": ";
    return prefix;
}

CompatRenderer::CompatRenderer(SharedContext& ctx, CompatOptions options) : ctx_(ctx), options_(std::move(options)) {
    ctx_.events.Subscribe(*this);
}

CompatRenderer::~CompatRenderer() { ctx_.events.Unsubscribe(*this); }

// The adapter from events: everything below it works on plain values.
void CompatRenderer::OnEvent(const Event& event) {
    if (const auto* e = std::get_if<PocsagCallEnd>(&event)) {
        PocsagCall call;
        call.bitRate = e->bitRate;
        call.ric = e->ric;
        call.function = e->function;
        call.codewords = e->codewords;
        call.hasNumeric = e->hasNumeric;
        call.numericType = e->hasNumeric && e->function == 0;  // as our JSON's "type"
        call.numeric = e->numeric;
        call.alpha = e->alpha;
        call.complete = e->complete;
        call.mostBitsCorrected = e->mostBitsCorrected;
        Emit(e->at.time, PocsagCallLine(call, options_));
    } else if (const auto* e = std::get_if<FmsTelegram>(&event)) {
        // Only telegrams whose check bits fit (after a repair, if one was made).
        if (e->check != FmsCheck::Ok || e->firstUndecided < 48) return;
        Emit(e->at.time, options_.fmsShort ? FmsShortCompatLine(e->bits) : FmsCompatLine(e->bits));
    } else if (const auto* e = std::get_if<ToneSequence>(&event)) {
        if (!ToneCompatDigits(e->table, e->entries, e->count, digits_)) return;
        Emit(e->at.time, ToneCompatLine(e->table, digits_));
    }
}

void CompatRenderer::Emit(const DateTime& time, const std::string& line) {
    if (line.empty()) return;
    ctx_.MessageText += LinePrefix(time, options_);
    ctx_.MessageText += line;
    ctx_.MessageText += '\n';
}

}  // namespace quorvel::compat
