// What the station lets through: --only / --ignore rules (a protocol, with an
// address or a range of addresses, or alone for all of its calls), and duplicate
// suppression.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "call.h"

namespace quorvel::station {

struct FilterRule {
    std::string protocol;
    std::uint64_t low = 0;
    std::uint64_t high = UINT64_MAX;  // the whole protocol when low = 0 and high = max
    bool Matches(const Call& call) const;
};

// "pocsag:1234000-1234999", "fms:63123456", "zvei:12345", "ccir"; nothing (and
// `error` says why) for anything else.
std::optional<FilterRule> ParseFilterRule(const std::string& text, std::string& error);

bool MatchesAny(const std::vector<FilterRule>& rules, const Call& call);

// Calls identical in protocol, address, function, kind and message text to one
// written within the last `seconds` (of input time) are duplicates. The window
// runs from the last call that was written, so a call repeated for a long time
// is written again every `seconds`.
class DuplicateFilter {
public:
    explicit DuplicateFilter(double seconds) : seconds_(seconds) {}
    // True when the call is a duplicate; otherwise remembers it as written.
    bool IsDuplicate(const Call& call);

private:
    double seconds_;
    std::map<std::string, double> written_;  // key -> offset of the last written call
};

}  // namespace quorvel::station
