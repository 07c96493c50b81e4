// Decoded calls as JSON Lines: one object per call, per transmission summary and
// per FMS follow-on text, UTF-8, one line each. The keys are listed in the README
// and stay stable: "event" (records that are not plain calls), "time", "offset",
// "protocol", then the kind's own fields in order, "incomplete" when the call was
// cut off, "name" when the station named it.
#pragma once

#include <string>

#include "core/call.h"
#include "core/common.h"
#include "core/events.h"
#include "core/kind.h"

namespace quorvel {

struct SharedContext;

// Writes call records as JSON objects (as text, without a line end).
class JsonWriter {
public:
    // `clock` gives the UTC offset of the time stamps.
    JsonWriter(const Clock& clock, std::int32_t sampleRate) : clock_(clock), sampleRate_(sampleRate) {}

    std::string ToJson(const Call& call) const;

    // The local time of an event with the clock's UTC offset, ISO 8601 with
    // milliseconds: 2024-05-06T14:03:07.000+02:00.
    std::string IsoTime(const DateTime& local) const;
    // Seconds from the start of the input, to the millisecond.
    double OffsetSeconds(std::int64_t sample) const;

private:
    const Clock& clock_;
    std::int32_t sampleRate_;
};

// Events to JSON objects: the records they complete, written.
class JsonEvents {
public:
    JsonEvents(const Clock& clock, std::int32_t sampleRate, TextOptions options = {})
        : writer_(clock, sampleRate), calls_(options) {}
    // The object an event completes, into `out`; false for events that only
    // begin or continue something (a POCSAG address, an FMS text block).
    bool ToJson(const Event& event, std::string& out);
    const JsonWriter& Writer() const { return writer_; }

private:
    JsonWriter writer_;
    CallAssembler calls_;
    Call call_;
};

// Subscribes to the context's events for its lifetime and appends one JSON line
// (LF-terminated) per completed record to the context's MessageText, so that the
// text hand-off carries it to the output like decoded text.
class JsonRenderer final : public EventSink {
public:
    explicit JsonRenderer(SharedContext& ctx, TextOptions options = {});
    ~JsonRenderer() override;
    JsonRenderer(const JsonRenderer&) = delete;
    JsonRenderer& operator=(const JsonRenderer&) = delete;
    void OnEvent(const Event& event) override;

private:
    SharedContext& ctx_;
    JsonEvents json_;
    std::string line_;
};

}  // namespace quorvel
