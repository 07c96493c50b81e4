#include "log_renderer.h"

#include "core/processing.h"

namespace quorvel {

LogRenderer::LogRenderer(SharedContext& ctx, LogFiles& logs) : ctx_(ctx), logs_(logs) { ctx_.events.Subscribe(*this); }

LogRenderer::~LogRenderer() { ctx_.events.Unsubscribe(*this); }

void LogRenderer::OnEvent(const Event& event) {
    if (const auto* call = std::get_if<PocsagCallEnd>(&event)) {
        // A call cut off by the end of its transmission has no line.
        if (!call->complete) return;
        std::lock_guard lock(logs_.mutex);
        auto& d = logs_.MessageLogData;
        if (d.open != 1) return;
        d.function = call->function;
        d.address = static_cast<std::int32_t>(call->ric);
        d.crcErrors = call->logErrors;
        d.beginTime = LongTimeText(call->beginTime);
        d.endTime = LongTimeText(call->at.time);
        d.numericText = call->hasNumeric ? call->numeric + "      " : std::string();
        d.alphaText = call->alpha;
        d.messageType = call->codewords == 0 ? "Beep" : call->codewords >= 5 ? "AlphaNum" : "Num?|Alpha?";
        logs_.MessageLog(laWrite);
    } else if (const auto* end = std::get_if<PocsagTransmissionEnd>(&event)) {
        std::lock_guard lock(logs_.mutex);
        auto& s = logs_.StreamLogData;
        if (s.open != 1) return;
        s.beginTime = LongTimeText(end->beginTime);
        s.endTime = LongTimeText(end->at.time);
        s.idles = end->idles;
        s.syncs = end->syncs;
        s.counts = end->bits;
        s.speed = end->bitRate;
        s.fails = end->fails;
        s.crcErrors = end->crcErrors;
        logs_.StreamLog(laWrite);
    }
}

}  // namespace quorvel
