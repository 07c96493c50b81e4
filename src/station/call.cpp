#include "call.h"

#include <cstdio>
#include <nlohmann/json.hpp>

namespace quorvel::station {

bool CallFromJson(const std::string& text, Call& call) {
    const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    if (!j.is_object() || !j.contains("protocol")) return false;
    const std::string event = j.value("event", "");
    if (!event.empty() && event != "fms_text") return false;
    call = Call{};
    call.json = text;
    call.protocol = j.value("protocol", "");
    call.time = j.value("time", "");
    call.offset = j.value("offset", 0.0);
    if (call.protocol == "pocsag") {
        char ric[16];
        std::snprintf(ric, sizeof ric, "%07u", j.value("ric", 0u));
        call.address = ric;
        call.function = std::to_string(j.value("function", 0));
        call.detail = j.value("type", "");
        call.message = j.value("message", "");
    } else if (call.protocol == "fms") {
        call.address = j.value("address", "");
        if (event == "fms_text") {
            call.detail = "text";
            call.message = j.value("text", "");
        } else {
            call.function = j.value("status", "");
            call.detail = j.value("bits", "").substr(0, 10);  // the data bits, not the check part
        }
    } else if (call.protocol == "flex") {
        char capcode[24];
        std::snprintf(capcode, sizeof capcode, "%09llu", static_cast<unsigned long long>(j.value("capcode", 0ull)));
        call.address = capcode;
        call.detail = j.value("type", "");
        call.message = j.value("message", "");
    } else if (call.protocol == "zvei" || call.protocol == "ccir") {
        call.address = j.value("address", "");
        call.detail = j.value("table", "");
    } else {
        return false;
    }
    return true;
}

std::string Describe(const Call& call) {
    std::string d = call.protocol + " " + (call.address.empty() ? "(no address)" : call.address);
    if (!call.function.empty()) d += (call.protocol == "fms" ? " status " : "/") + call.function;
    if (!call.name.empty()) d += " (" + call.name + ")";
    if (!call.message.empty()) {
        std::string m = call.message;
        if (m.size() > 60) {
            std::size_t cut = 60;
            while (cut > 0 && (static_cast<unsigned char>(m[cut]) & 0xC0) == 0x80) --cut;  // whole UTF-8 characters
            m = m.substr(0, cut) + "...";
        }
        for (char& c : m)
            if (static_cast<unsigned char>(c) < 32) c = ' ';
        d += " \"" + m + "\"";
    }
    if (!call.time.empty()) d += " at " + call.time;
    return d;
}

}  // namespace quorvel::station
