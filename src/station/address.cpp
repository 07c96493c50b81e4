#include "address.h"

#include "core/kind.h"

namespace quorvel::station {

bool KnownProtocol(std::string_view p) { return FindKindOfProtocol(p) != nullptr; }

std::string KnownProtocols() {
    std::string list;
    for (const KindDescription* k : Kinds())
        for (std::string_view p : k->protocols) list += (list.empty() ? "" : ", ") + std::string(p);
    return list;
}

std::optional<std::uint64_t> AddressValue(std::string_view protocol, std::string_view address) {
    const KindDescription* k = FindKindOfProtocol(protocol);
    if (k == nullptr) return std::nullopt;
    return k->addressValue(protocol, address);
}

std::string AddressForm(std::string_view protocol) {
    const KindDescription* k = FindKindOfProtocol(protocol);
    return k == nullptr ? std::string() : std::string(k->addressForm);
}

std::string CanonicalAddress(std::string_view protocol, std::string_view address) {
    const KindDescription* k = FindKindOfProtocol(protocol);
    return k == nullptr ? std::string() : k->canonicalAddress(protocol, address);
}

}  // namespace quorvel::station
