// A call as the station delivers it: the fields that names, filters, duplicate
// suppression, hooks and MQTT work on, flat, taken from the decoders' call
// record (core/call.h), with its JSON object.
#pragma once

#include <string>

namespace quorvel::station {

struct Call {
    std::string protocol;  // pocsag, fms, zvei, ccir...
    std::string address;   // canonical, as the kind writes it; may be empty
    std::string function;  // the subaddress: POCSAG function, FMS status; else empty
    // What else tells two calls to one address apart (the kind says).
    std::string detail;
    std::string message;  // UTF-8 text: the message, the follow-on text
    std::string time;     // ISO 8601, as in the JSON object
    double offset = 0.0;  // seconds from the start of the input
    std::string name;     // from the alias file, UTF-8; empty when none
    std::string json;     // the JSON object, "name" included when there is one
};


// "pocsag 0012345/3 "text" at <time>": a call in one line for messages.
std::string Describe(const Call& call);

}  // namespace quorvel::station
