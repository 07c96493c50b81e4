#include "filters.h"

#include <algorithm>
#include <cctype>

#include "address.h"

namespace quorvel::station {

bool FilterRule::Matches(const Call& call) const {
    if (call.protocol != protocol) return false;
    if (low == 0 && high == UINT64_MAX) return true;
    const auto v = AddressValue(call.protocol, call.address);
    return v && *v >= low && *v <= high;
}

std::optional<FilterRule> ParseFilterRule(const std::string& textIn, std::string& error) {
    std::string text = textIn;
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    FilterRule rule;
    const auto colon = text.find(':');
    rule.protocol = text.substr(0, colon);
    if (!KnownProtocol(rule.protocol)) {
        error = "'" + textIn + "': unknown protocol (" + KnownProtocols() + ", then :ADDRESS or :LOW-HIGH)";
        return std::nullopt;
    }
    if (colon == std::string::npos) return rule;
    const std::string rest = text.substr(colon + 1);
    const auto dash = rest.find('-');
    const std::string lowText = rest.substr(0, dash);
    const std::string highText = dash == std::string::npos ? lowText : rest.substr(dash + 1);
    const auto low = AddressValue(rule.protocol, lowText);
    const auto high = AddressValue(rule.protocol, highText);
    if (!low || !high) {
        error = "'" + textIn + "': bad " + rule.protocol + " address (" + AddressForm(rule.protocol) + ")";
        return std::nullopt;
    }
    if (*low > *high) {
        error = "'" + textIn + "': the range ends below its start";
        return std::nullopt;
    }
    rule.low = *low;
    rule.high = *high;
    return rule;
}

bool MatchesAny(const std::vector<FilterRule>& rules, const Call& call) {
    return std::any_of(rules.begin(), rules.end(), [&](const FilterRule& r) { return r.Matches(call); });
}

bool DuplicateFilter::IsDuplicate(const Call& call) {
    if (seconds_ <= 0.0) return false;
    // Forget what lies outside the window (the map stays as small as the traffic
    // of `seconds`).
    for (auto it = written_.begin(); it != written_.end();) {
        if (call.offset - it->second >= seconds_ || call.offset < it->second) it = written_.erase(it);
        else ++it;
    }
    std::string key;
    for (const std::string* part : {&call.protocol, &call.address, &call.function, &call.detail, &call.message}) {
        key += *part;
        key += '\x1F';
    }
    const auto [it, inserted] = written_.emplace(key, call.offset);
    return !inserted;
}

}  // namespace quorvel::station
