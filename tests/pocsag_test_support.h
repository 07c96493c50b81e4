// Helpers of the POCSAG end-to-end suites: decoding generated samples with a
// fixed clock, and splitting the end-of-transmission summaries off the text.
#pragma once

#include <algorithm>
#include <cstdint>
#include <regex>
#include <span>
#include <string>
#include <vector>

#include "test_support.h"

namespace quorvel::testing {

// The fixed time every POCSAG suite decodes at: 14:03:07 in the C locale.
inline const DateTime kPocsagNow{2024, 5, 6, 14, 3, 7, 0};

// Decode with only POCSAG on, through the given input characteristic; `use`
// keeps the engine (and its logs) for the caller.
inline std::string DecodePocsag(std::span<const std::int16_t> pcm, int characteristic = 0, Engine* use = nullptr) {
    FixedClock clock(kPocsagNow);
    StandardEngine own(clock);
    Engine& e = use != nullptr ? *use : own;
    e.ctx.settings.PocsagEnabled.store(true);
    e.ctx.settings.PocsagCharacteristic.store(characteristic);
    e.pocsag.PocsagSetCharacteristic();
    return DecodeSamples(e, pcm);
}

struct Summary {
    int idles = -1, syncs = -1, counts = -1, fails = -1, crcerrors = -1;
    double speed = 0;
};

// Split decoded text into the call lines (left in `text`) and the summaries
// that end each transmission.
inline std::vector<Summary> TakeSummaries(std::string& text) {
    static const std::regex re(
        "14:03:07 - 14:03:07\tidles: (\\d+)  syncs: (\\d+)  counts: (\\d+)  speed: ([0-9.]+)  fails: (\\d+)  "
        "crcerrors: (\\d+)\r\n\r\n");
    std::vector<Summary> out;
    std::smatch m;
    std::string rest;
    std::string s = text;
    while (std::regex_search(s, m, re)) {
        rest += m.prefix();
        out.push_back({std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3]), std::stoi(m[5]), std::stoi(m[6]),
                       std::stod(m[4])});
        s = m.suffix();
    }
    text = rest + s;
    return out;
}

inline int Count(const std::vector<std::uint32_t>& cws, std::uint32_t word) {
    return static_cast<int>(std::count(cws.begin(), cws.end(), word));
}

}  // namespace quorvel::testing
