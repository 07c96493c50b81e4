#include "address.h"

#include <cstdio>

namespace quorvel::station {

namespace {

constexpr std::uint64_t kMaxRic = 0x1FFFFF;  // 21 address bits
constexpr std::uint64_t kMaxCapcode = 3223326720ull;  // the highest long FLEX address

std::optional<std::uint64_t> Digits(std::string_view text, int base, std::size_t minLength, std::size_t maxLength) {
    if (text.size() < minLength || text.size() > maxLength) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return std::nullopt;
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
    }
    return value;
}

}  // namespace

bool KnownProtocol(std::string_view p) {
    return p == "pocsag" || p == "fms" || p == "zvei" || p == "ccir" || p == "flex";
}

std::optional<std::uint64_t> AddressValue(std::string_view protocol, std::string_view address) {
    if (protocol == "pocsag") {
        auto v = Digits(address, 10, 1, 7);
        if (v && *v > kMaxRic) return std::nullopt;
        return v;
    }
    if (protocol == "fms") return Digits(address, 16, 8, 8);
    if (protocol == "flex") {
        auto v = Digits(address, 10, 1, 10);
        if (v && (*v == 0 || *v > kMaxCapcode)) return std::nullopt;
        return v;
    }
    if (protocol == "zvei" || protocol == "ccir") return Digits(address, 10, 5, 5);
    return std::nullopt;
}

std::string AddressForm(std::string_view protocol) {
    if (protocol == "pocsag") return "a RIC 0-2097151";
    if (protocol == "fms") return "8 hex digits (organisation, Land, location, vehicle)";
    if (protocol == "flex") return "a capcode 1-3223326720";
    return "5 digits";
}

std::string CanonicalAddress(std::string_view protocol, std::string_view address) {
    const auto v = AddressValue(protocol, address);
    if (!v) return {};
    char text[32];
    if (protocol == "pocsag") std::snprintf(text, sizeof text, "%07llu", static_cast<unsigned long long>(*v));
    else if (protocol == "fms") std::snprintf(text, sizeof text, "%08llX", static_cast<unsigned long long>(*v));
    else if (protocol == "flex") std::snprintf(text, sizeof text, "%09llu", static_cast<unsigned long long>(*v));
    else return std::string(address);
    return text;
}

}  // namespace quorvel::station
