// quorvel-compat's renderer: the lines of compat_lines.h for the calls a
// station wants, chosen and shaped by its command line, appended to the
// context's MessageText so that the text hand-off carries them to the output
// (UTF-8, LF).
#pragma once

#include <string>

#include "compat_lines.h"
#include "core/events.h"

namespace quorvel {

struct SharedContext;

namespace compat {

enum class TextMode { Auto, Alpha, Numeric };

struct CompatOptions {
    TextMode textMode = TextMode::Auto;
    Charset charset = Charset::US;
    bool skipToneOnly = false;       // -e
    bool printIncomplete = false;    // -p
    int maxBitsPerCodeword = -1;     // -b N; -1: as the decoder decided
    bool fmsShort = false;           // -j
    bool timestamp = false;          // --timestamp: the local time the call was found
    std::string label;               // --label, empty: none
};

// The POCSAG line of a finished call, or empty when the options leave it out.
struct PocsagCall {
    double bitRate = 0.0;
    std::uint32_t ric = 0;
    int function = 0;
    int codewords = 0;  // 0: tone only
    bool hasNumeric = false;
    bool numericType = false;  // what our JSON calls numeric
    std::string numeric;
    std::string alpha;  // as the events carry it
    bool complete = true;
    int mostBitsCorrected = 0;
};
std::string PocsagCallLine(const PocsagCall& call, const CompatOptions& options);

// The prefixes of --timestamp and --label: "2024-05-06 14:03:07: label: ".
std::string LinePrefix(const DateTime& time, const CompatOptions& options);

class CompatRenderer final : public EventSink {
public:
    CompatRenderer(SharedContext& ctx, CompatOptions options);
    ~CompatRenderer() override;
    CompatRenderer(const CompatRenderer&) = delete;
    CompatRenderer& operator=(const CompatRenderer&) = delete;
    void OnEvent(const Event& event) override;

private:
    void Emit(const DateTime& time, const std::string& line);

    SharedContext& ctx_;
    CompatOptions options_;
    std::string digits_;
};

}  // namespace compat
}  // namespace quorvel
