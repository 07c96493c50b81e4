// One decoded call as everything after the decoders sees it, whatever its kind:
// the protocol-neutral part that names, filters, duplicate suppression, hooks,
// MQTT and the store work on, and the kind's own fields in order for JSON. A
// kind's description (kind.h) makes these from its events.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "events.h"

namespace quorvel {

struct Field;
using FieldList = std::vector<Field>;
// A JSON value: a DateTime is written as the ISO 8601 local time with the UTC
// offset; a list of field lists as an array of objects.
using FieldValue = std::variant<bool, std::int64_t, double, std::string, DateTime, std::vector<FieldList>>;
struct Field {
    std::string name;
    FieldValue value;
};

struct Call {
    std::string protocol;  // what the call says it is: pocsag, fms, zvei, ccir, dtmf...
    // Empty for a call; else the name of a record that is not a call of its own
    // ("transmission_end": a summary, written but never filtered, named or passed on;
    // "fms_text": follow-on text, a call of its own).
    std::string event;
    bool isCall = true;  // passes through names, filters, dedup, hooks, MQTT, the store
    EventOrigin at;
    std::string address;     // canonical (the form alias files and filters compare with); may be empty
    std::string subaddress;  // POCSAG function, FMS status; else empty
    // What else tells two calls to one address apart for duplicate suppression.
    std::string detail;
    std::string text;        // UTF-8, without padding: the message, the follow-on text
    FieldList fields;        // the kind's JSON fields, after time, offset and protocol
    bool incomplete = false; // cut off by the end of its transmission or input
    std::string name;        // from the alias file (UTF-8), added by the station
    // The specified text of every event of the call (Windows-1252, CR LF), as the
    // text renderer writes it.
    std::string line;
};

// The value of a named field, or null.
const FieldValue* FindField(const Call& call, std::string_view name);

}  // namespace quorvel
