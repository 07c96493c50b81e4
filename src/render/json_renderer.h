// Decoded calls as JSON Lines: one object per call, per transmission summary and
// per FMS follow-on text, UTF-8, one line each. The keys are listed in the README
// and stay stable.
#pragma once

#include <optional>
#include <string>

#include "core/common.h"
#include "core/events.h"
#include "compat_lines.h"

namespace quorvel {

struct SharedContext;

// Turns events into JSON objects (as text, without a line end). Keeps what an
// object is built from over several events (the follow-on text of an FMS
// transmission).
class JsonEvents {
public:
    // `clock` gives the UTC offset of the time stamps.
    explicit JsonEvents(const Clock& clock, std::int32_t sampleRate) : clock_(clock), sampleRate_(sampleRate) {}

    // The object an event completes, into `out`; false for events that only
    // begin or continue something (a POCSAG address, an FMS text block).
    bool ToJson(const Event& event, std::string& out);

    // POCSAG text in one of the national variants of 7-bit text; without one
    // (the default), the German one the decoders' own text uses.
    void SetCharset(std::optional<compat::Charset> charset) { charset_ = charset; }

    // The local time of an event with the clock's UTC offset, ISO 8601 with
    // milliseconds: 2024-05-06T14:03:07.000+02:00.
    std::string IsoTime(const DateTime& local) const;

private:
    const Clock& clock_;
    std::int32_t sampleRate_;
    std::optional<compat::Charset> charset_;
    // FMS follow-on text collected since the last telegram.
    std::string fmsText_;
    std::int32_t fmsTextNumber_ = 0;
    std::string fmsAddress_;
    std::int64_t fmsTextSample_ = 0;
};

// Subscribes to the context's events for its lifetime and appends one JSON line
// (LF-terminated) per completed call to the context's MessageText, so that the
// text hand-off carries it to the output like decoded text.
class JsonRenderer final : public EventSink {
public:
    explicit JsonRenderer(SharedContext& ctx, std::optional<compat::Charset> charset = std::nullopt);
    ~JsonRenderer() override;
    JsonRenderer(const JsonRenderer&) = delete;
    JsonRenderer& operator=(const JsonRenderer&) = delete;
    void OnEvent(const Event& event) override;

private:
    SharedContext& ctx_;
    JsonEvents json_;
    std::string line_;
};

// The 8-digit identity of an FMS telegram: organisation, Land, location and
// vehicle digits (hex digits as the status line shows them).
std::string FmsIdentity(const FmsTelegram& telegram);

}  // namespace quorvel
