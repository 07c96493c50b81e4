// The POCSAG message log and stream log as a consumer of events: a complete call
// becomes a message-log line, the end of a transmission a stream-log line, in
// whichever of the two files is open. The files themselves (names, headers,
// line formats, failures) belong to LogFiles.
#pragma once

#include "core/events.h"
#include "core/logfile.h"

namespace quorvel {

struct SharedContext;

class LogRenderer final : public EventSink {
public:
    // Subscribes to the context's events for its lifetime.
    LogRenderer(SharedContext& ctx, LogFiles& logs);
    ~LogRenderer() override;
    LogRenderer(const LogRenderer&) = delete;
    LogRenderer& operator=(const LogRenderer&) = delete;
    void OnEvent(const Event& event) override;

private:
    SharedContext& ctx_;
    LogFiles& logs_;
};

}  // namespace quorvel
