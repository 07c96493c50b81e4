// Addresses as the user writes them (alias file, --only/--ignore) and as calls
// carry them, per protocol, as each kind's description defines them (a POCSAG
// RIC, an FMS identity, five tone digits...).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvel::station {

// True for the protocols of every kind (pocsag, fms, zvei, ccir...).
bool KnownProtocol(std::string_view protocol);
// "pocsag, fms, zvei, ccir...", for messages.
std::string KnownProtocols();

// The address as a number for comparisons and ranges; nothing when it is not a
// valid address of the protocol (a tone sequence with a failed tone, say).
std::optional<std::uint64_t> AddressValue(std::string_view protocol, std::string_view address);

// What a valid address of the protocol looks like, for messages.
std::string AddressForm(std::string_view protocol);

// The canonical text of an address (the form calls carry): 7 digits for a RIC,
// upper-case hex for FMS. Empty for an invalid address.
std::string CanonicalAddress(std::string_view protocol, std::string_view address);

}  // namespace quorvel::station
