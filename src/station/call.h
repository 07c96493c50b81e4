// A completed call as the station sees it: the fields that names, filters,
// duplicate suppression, hooks and MQTT work on, taken from the call's JSON
// object (render/json_renderer.h), and the object itself.
#pragma once

#include <string>

namespace quorvel::station {

struct Call {
    std::string protocol;  // pocsag, fms, zvei, ccir, flex
    // pocsag: the RIC as 7 digits; fms: the 8-digit identity (empty when the
    // telegram's data could not be decided); zvei/ccir: the digits; flex: the
    // capcode with at least 9 digits.
    std::string address;
    std::string function;  // pocsag: 0..3; fms telegram: the status digit; else empty
    // What else tells two calls to one address apart: the POCSAG type, the FMS
    // telegram's 40 data bits, "text" for FMS follow-on text, the tone table.
    std::string detail;
    std::string message;  // UTF-8: the POCSAG message or the FMS follow-on text
    std::string time;     // ISO 8601, as in the JSON object
    double offset = 0.0;  // seconds from the start of the input
    std::string name;     // from the alias file, UTF-8; empty when none
    std::string json;     // the JSON object, "name" included when there is one
};

// Fills `call` from a JSON object of JsonEvents. False for objects that are not
// calls (a POCSAG transmission summary) and for text that is not such an object.
bool CallFromJson(const std::string& json, Call& call);

// "pocsag 0012345/3 "text" at <time>": a call in one line for messages.
std::string Describe(const Call& call);

}  // namespace quorvel::station
