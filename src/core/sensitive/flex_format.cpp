// FLEX page texts (see flex_format.h).
#include "flex_format.h"

#include <cstdio>

namespace quorvel::flex {

const char* ModeName(FlexMode m) {
    switch (m) {
        case FlexMode::M1600_2: return "1600/2";
        case FlexMode::M3200_2: return "3200/2";
        case FlexMode::M3200_4: return "3200/4";
        case FlexMode::M6400_4: return "6400/4";
    }
    return "?";
}

char PhaseName(std::int32_t phase) { return phase >= 0 && phase < 4 ? static_cast<char>('A' + phase) : '?'; }

const char* TypeCode(FlexPageType t) {
    switch (t) {
        case FlexPageType::Alpha: return "ALN";
        case FlexPageType::Numeric: return "NUM";
        case FlexPageType::Tone: return "TON";
        case FlexPageType::Binary: return "BIN";
        case FlexPageType::Secure: return "SEC";
    }
    return "?";
}

const char* TypeName(FlexPageType t) {
    switch (t) {
        case FlexPageType::Alpha: return "alpha";
        case FlexPageType::Numeric: return "numeric";
        case FlexPageType::Tone: return "tone";
        case FlexPageType::Binary: return "binary";
        case FlexPageType::Secure: return "secure";
    }
    return "?";
}

char FragmentCode(FlexFragments f) {
    switch (f) {
        case FlexFragments::Whole: return 'K';
        case FlexFragments::MoreFollow: return 'F';
        case FlexFragments::Last: return 'C';
    }
    return 'K';
}

std::string CapcodeText(std::uint64_t capcode) {
    char text[32];
    std::snprintf(text, sizeof text, "%09llu", static_cast<unsigned long long>(capcode));
    return text;
}

std::string MessageText(const FlexPage& page) {
    if (page.type != FlexPageType::Binary && page.type != FlexPageType::Secure) return page.text;
    std::string out;
    for (const std::uint32_t w : page.rawWords) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%06X", static_cast<unsigned>(w & 0x1FFFFFu));
        if (!out.empty()) out += ' ';
        out += hex;
    }
    return out;
}

namespace {
std::string CycleFrame(const FlexPage& page) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d.%03d", static_cast<int>(page.cycle), static_cast<int>(page.frame));
    return text;
}
}  // namespace

void AppendTextLine(const FlexPage& page, std::string& out) {
    out += LongTimeText(page.at.time);
    out += "\tFLEX ";
    out += ModeName(page.mode);
    out += '/';
    out += PhaseName(page.phase);
    out += ' ';
    out += CycleFrame(page);
    out += '\t';
    out += CapcodeText(page.capcode);
    out += '\t';
    out += TypeCode(page.type);
    out += '\t';
    out += MessageText(page);
    out += "\r\n";
}

std::string CompatLine(const FlexPage& page, const DateTime& when) {
    char head[64];
    std::snprintf(head, sizeof head, "FLEX|%04d-%02d-%02d %02d:%02d:%02d|%s/%c/%c|", when.year, when.month, when.day,
                  when.hour, when.minute, when.second, ModeName(page.mode), FragmentCode(page.fragmentState),
                  PhaseName(page.phase));
    std::string out = head;
    out += CycleFrame(page);
    out += '|';
    out += CapcodeText(page.capcode);
    out += '|';
    out += TypeCode(page.type);
    out += '|';
    out += MessageText(page);
    return out;
}

}  // namespace quorvel::flex
