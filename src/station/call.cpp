#include "call.h"

#include <cstdio>

namespace quorvel::station {

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
