// One description per kind of signal, beside its decoder(s): everything the rest
// of the program needs to know about it. Its names (--decoders, the protocols its
// calls carry, which --only, alias files and MQTT topics use), the grammar of its
// addresses, the specified text of its events, and how its events become call
// records. Sinks (text, JSON, station, hooks, MQTT, the store) work only through
// these; none of them names a kind.
//
// Adding a kind: its decoder(s), its events in events.h (each with `Kind`), its
// description, one registry line, its tests and its generator.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "call.h"
#include "pocsag_charsets.h"
#include "events.h"

namespace quorvel {

// Turns the events of one kind into records, keeping what a record is built from
// over several events (a POCSAG call from its address to its end).
// How the specified text is written.
struct TextOptions {
    // Of the renderings of one call (a short POCSAG message as digits and as
    // characters), only the one its type stands for; else all, as the window.
    bool oneRendering = false;
    // The national variant of 7-bit text in call records (JSON, the station);
    // none: the decoders' own (German letters, @ kept). The specified text keeps
    // the decoders' bytes.
    std::optional<Charset> charset;
};

class CallBuilder {
public:
    virtual ~CallBuilder() = default;
    // The record `event` completes, into `call` (protocol, event, isCall, at,
    // address, subaddress, detail, text, fields, incomplete); false for an event
    // that only begins or continues one.
    virtual bool Take(const Event& event, Call& call) = 0;
};

struct KindDescription {
    std::string_view name;                         // the registry's kind: --decoders takes it
    std::span<const std::string_view> protocols;   // what its calls carry in `protocol`
    std::string_view addressForm;                  // what a valid address looks like, for messages
    // The address as a number for comparisons and ranges; nothing when it is not a
    // valid address of `protocol`.
    std::optional<std::uint64_t> (*addressValue)(std::string_view protocol, std::string_view address) = nullptr;
    // The form calls carry (and alias files are compared in); empty when invalid.
    std::string (*canonicalAddress)(std::string_view protocol, std::string_view address) = nullptr;
    // The specified text of one of its events, appended (Windows-1252, CR LF).
    void (*appendText)(const Event& event, const TextOptions& options, std::string& out) = nullptr;
    std::unique_ptr<CallBuilder> (*makeBuilder)(const TextOptions& options) = nullptr;
};

// Address grammars: a number of minLength..maxLength decimal / hex digits.
std::optional<std::uint64_t> DecimalAddress(std::string_view text, std::size_t minLength, std::size_t maxLength);
std::optional<std::uint64_t> HexAddress(std::string_view text, std::size_t minLength, std::size_t maxLength);

// The kind an event belongs to (each event type names it as `Kind`).
inline std::string_view EventKind(const Event& event) {
    return std::visit([](const auto& e) { return std::decay_t<decltype(e)>::Kind; }, event);
}

// Every kind of the registry, in its order, each once.
std::span<const KindDescription* const> Kinds();
const KindDescription* FindKind(std::string_view name);
// The kind whose calls carry `protocol`, or null.
const KindDescription* FindKindOfProtocol(std::string_view protocol);

// The specified text of any event, through its kind.
void AppendEventText(const Event& event, std::string& out, const TextOptions& options = {});

// Turns events of every kind into records, each with the specified text of its
// events in `line`. One per sink that needs records; reset for each input.
class CallAssembler {
public:
    explicit CallAssembler(TextOptions options = {});
    // False for an event that completes nothing yet.
    bool Take(const Event& event, Call& call);

private:
    struct Pending {
        const KindDescription* kind = nullptr;
        std::unique_ptr<CallBuilder> builder;
        std::string line;  // text of the record's events so far
    };
    Pending* PendingOf(std::string_view kind);
    TextOptions options_;
    std::vector<Pending> pending_;
};

}  // namespace quorvel
